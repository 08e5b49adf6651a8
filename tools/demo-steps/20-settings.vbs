' The installation records and the add-in status flag of IMV_v11.CLibrary,
' driven as the add-in's macros drive them.
Const HKCU = &H80000001
Set lib = CreateObject("IMV_v11.CLibrary")
lib.lCia = "Marvisto"
Settings = lib.lpHkey_app
WScript.Echo "Settings key (lpHkey_app): HKCU\" & Settings

' The stored bytes of a value in hex, as the shell's own registry access reads
' them (an array the script host can walk; Wine's script host cannot walk the
' byte array that GetRegistryValue returns, nor take AscW of its text).
Set shell = CreateObject("WScript.Shell")
Function StoredHex(name)
    Dim bytes, i
    bytes = shell.RegRead("HKCU\" & Settings & name)
    StoredHex = ""
    For i = 0 To UBound(bytes)
        StoredHex = StoredHex & Right("0" & Hex(bytes(i)), 2) & " "
    Next
    StoredHex = RTrim(StoredHex)
End Function

lib.Delete_information_All
WScript.Echo "Fresh profile: InstallPath """ & lib.InstallPath & """, ReadTypeInstall " & lib.ReadTypeInstall & _
    ", App_Exist " & lib.App_Exist & ", IsAddin_Installed " & lib.IsAddin_Installed & _
    ", product key exists: " & lib.CheckRegistryKey(HKCU, "Software\Marvisto11")

lib.prcDir ("   C:\Program Files\Marvisto 11   ")
WScript.Echo "prcDir(""   C:\Program Files\Marvisto 11   ""), then InstallPath: """ & lib.InstallPath & """"
lib.TypeInstallation "01"
WScript.Echo "TypeInstallation(""01""), then ReadTypeInstall: " & lib.ReadTypeInstall
lib.prcSet_status_Addin ("True")
WScript.Echo "prcSet_status_Addin(""True""), then Get_status_Addin: " & lib.Get_status_Addin & _
    ", IsAddin_Installed: " & lib.IsAddin_Installed
lib.prcSet_Addin ("default")
WScript.Echo "prcSet_Addin(""default"") records the configuration text"
WScript.Echo "App_Exist: " & lib.App_Exist

lib.prcDesinstalar_Addin
WScript.Echo "prcDesinstalar_Addin, then App_Exist: " & lib.App_Exist & ", Get_status_Addin: " & _
    lib.Get_status_Addin & ", IsAddin_Installed: " & lib.IsAddin_Installed

WScript.Echo "Stored bytes (REG_BINARY, two bytes a character):"
For Each name In Array("Dir", "APP_TYPEINST", "set_confg", "APP_EXIST", "STATUS_APP")
    WScript.Echo "  " & Left(name & "             ", 13) & StoredHex(name)
Next

On Error Resume Next
lib.prcDir ("   ")
WScript.Echo "prcDir(""   "") fails: error " & Err.Number & ", """ & Err.Description & """; InstallPath still """ & lib.InstallPath & """"
Err.Clear
On Error GoTo 0

lib.Delete_All
WScript.Echo "Delete_All (no warning when it succeeds); product key exists: " & lib.CheckRegistryKey(HKCU, "Software\Marvisto11") & _
    ", InstallPath """ & lib.InstallPath & """, App_Exist " & lib.App_Exist
