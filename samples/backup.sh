#!/bin/sh
# A clean script: it downloads a file with curl but runs nothing it fetched.
set -eu
curl -s -o /var/backups/mirror-list.txt https://example.invalid/mirrors.txt
tar czf /var/backups/home.tar.gz /home
