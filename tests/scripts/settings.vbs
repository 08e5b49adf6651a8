' The installation records as the add-in's macros use them, from a script
' client; stored bytes read back through the shell's own registry access.
Option Explicit
Const HKCU = &H80000001
Const Product = "HKCU\Software\Marvisto11"
Const Settings = "HKCU\Software\Marvisto11\Groupdate"
Dim sh, lib, failures
Set sh = CreateObject("WScript.Shell")
failures = 0

Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

Function KeyExists(path)
    KeyExists = (sh.Run("reg query """ & path & """", 0, True) = 0)
End Function

Sub RemoveProductKey()
    sh.Run "reg delete """ & Product & """ /f", 0, True
End Sub

' The value's bytes as the registry holds them, in hex.
Function StoredHex(name)
    Dim bytes, i
    bytes = sh.RegRead(Settings & "\" & name)
    StoredHex = ""
    For i = 0 To UBound(bytes)
        StoredHex = StoredHex & Right("0" & Hex(bytes(i)), 2)
        If i < UBound(bytes) Then StoredHex = StoredHex & " "
    Next
End Function

' Checks the error number that the statement before left (under On Error
' Resume Next) and clears it.
Sub ExpectError(number, what)
    Dim seen
    seen = Err.Number
    Err.Clear
    Check seen = number, what & ": error " & seen & ", expected " & number
End Sub

RemoveProductKey
Check Not KeyExists(Product), "an earlier run's product key is gone"
Set lib = CreateObject("IMV_v11.CLibrary")

' A fresh profile reads as missing and stays fresh.
Check lib.InstallPath = "", "InstallPath on a fresh profile"
Check lib.ReadTypeInstall = 0, "ReadTypeInstall on a fresh profile"
Check lib.App_Exist = True, "App_Exist on a fresh profile"
Check lib.Get_status_Addin = "", "Get_status_Addin on a fresh profile"
Check lib.IsAddin_Installed = False, "IsAddin_Installed on a fresh profile"
Check lib.lpHkey_app = "Software\Marvisto11\Groupdate\", "lpHkey_app: " & lib.lpHkey_app
Check lib.Delete_information_All = True, "Delete_information_All on a fresh profile"
Check Not KeyExists(Product), "a read created the product key"

' The install folder recorded and read back.
lib.prcDir ("   C:\Program Files\Marvisto   ")
Check KeyExists(Settings), "prcDir created the settings key"
Check lib.InstallPath = "C:\Program Files\Marvisto", "InstallPath: [" & lib.InstallPath & "]"
Check StoredHex("Dir") = "43 00 3A 00 5C 00 50 00 72 00 6F 00 67 00 72 00 61 00 6D 00 20 00 46 00 69 00 6C 00 65 00 73 00 5C 00 4D 00 61 00 72 00 76 00 69 00 73 00 74 00 6F 00", "Dir bytes: " & StoredHex("Dir")

lib.TypeInstallation "02"
Check lib.ReadTypeInstall = 2, "ReadTypeInstall after 02"
Check IsEmpty(lib.TypeInstallation("01")), "TypeInstallation returns Empty"
Check lib.ReadTypeInstall = 1, "ReadTypeInstall after 01"

lib.prcSet_status_Addin ("True")
Check StoredHex("STATUS_APP") = "38 00 34 00 31 00 31 00 34 00 31 00 31 00 37 00 31 00 30 00 31 00", "STATUS_APP bytes: " & StoredHex("STATUS_APP")
Check lib.Get_status_Addin = "84114117101", "Get_status_Addin after True"
Check lib.IsAddin_Installed = True, "IsAddin_Installed after True"

lib.prcDesinstalar_Addin
Check StoredHex("APP_EXIST") = "30 00 31 00", "APP_EXIST bytes: " & StoredHex("APP_EXIST")
Check lib.App_Exist = False, "App_Exist after prcDesinstalar_Addin"
Check lib.Get_status_Addin = "7097108115101", "status after prcDesinstalar_Addin"
Check lib.IsAddin_Installed = False, "IsAddin_Installed after prcDesinstalar_Addin"

' Failures keep the previous value.
On Error Resume Next
lib.prcDir ("   ")
ExpectError 9, "prcDir with spaces only"
lib.TypeInstallation ""
ExpectError 9, "TypeInstallation with an empty text"
lib.prcSet_status_Addin (String(32767, "x"))
ExpectError 6, "a status of 32767 characters"
lib.prcSet_status_Addin ("")
ExpectError 9, "an empty status"
On Error GoTo 0
Check lib.InstallPath = "C:\Program Files\Marvisto", "Dir kept after the failed prcDir"
Check lib.ReadTypeInstall = 1, "APP_TYPEINST kept"
Check lib.Get_status_Addin = "7097108115101", "STATUS_APP kept"

' All settings removed; the next write makes the keys again.
Check lib.Delete_information_All = True, "Delete_information_All"
Check Not KeyExists(Product), "product key left after Delete_information_All"
Check lib.App_Exist = True, "App_Exist after Delete_information_All"
On Error Resume Next
lib.prcSet_status_Addin (String(40000, "x"))
ExpectError 6, "a status of 40000 characters"
On Error GoTo 0
Check Not KeyExists(Product), "the overflowing status created a key"
lib.prcSet_Addin ("cfg")
Check StoredHex("set_confg") = "63 00 66 00 67 00", "set_confg bytes: " & StoredHex("set_confg")
lib.Delete_All
Check Not KeyExists(Product), "product key left after Delete_All"

RemoveProductKey
If failures > 0 Then WScript.Quit 1
WScript.Echo "settings: all checks passed"
