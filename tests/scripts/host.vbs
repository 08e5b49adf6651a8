' What the add-in does with the library, run by the script host of either
' bitness: create the class, a registry round trip, the library's own error,
' the product's records.  The first line names the host's architecture; a
' class that cannot be created ends the script with "CreateObject: error N".
Option Explicit
Const HKCU = &H80000001
Const Key = "Software\IMV_v11 tests\host"
Dim lib, failures
failures = 0
Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

WScript.Echo "host " & CreateObject("WScript.Shell").Environment("Process")("PROCESSOR_ARCHITECTURE")
On Error Resume Next
Set lib = CreateObject("IMV_v11.CLibrary")
If Err.Number <> 0 Then
    WScript.Echo "CreateObject: error " & Err.Number
    WScript.Quit 1
End If
On Error GoTo 0

lib.DeleteRegistryKey HKCU, Key
Check lib.CreateRegistryKey(HKCU, Key) = False, "CreateRegistryKey on a new key"
lib.SetRegistryValue HKCU, Key, "text", 1, "Hola"
Check lib.GetRegistryValue(HKCU, Key, "text", 1) = "Hola", "text round trip"
lib.SetRegistryValue HKCU, Key, "number", 4, -2
Check lib.GetRegistryValue(HKCU, Key, "number", 4) = -2, "number round trip"
Check lib.GetRegistryValue(HKCU, Key, "missing", 1) = "", "omitted DefaultValue gives """""
On Error Resume Next
lib.GetRegistryValue HKCU, Key, "text", 2
Check Err.Number = 1001, "unsupported type code: Err.Number " & Err.Number
Check Err.Description = "Tipo de valor no compatible", "unsupported type code: Err.Description """ & Err.Description & """"
Err.Clear
On Error GoTo 0
lib.DeleteRegistryKey HKCU, Key
Check lib.CheckRegistryKey(HKCU, Key) = False, "deleted key"

Check lib.Delete_information_All = True, "Delete_information_All"
lib.prcDir ("   C:\Program Files\Marvisto   ")
Check lib.InstallPath = "C:\Program Files\Marvisto", "InstallPath: [" & lib.InstallPath & "]"
lib.TypeInstallation "02"
Check lib.ReadTypeInstall = 2, "ReadTypeInstall after 02"
lib.prcSet_status_Addin ("True")
Check lib.Get_status_Addin = "84114117101", "Get_status_Addin after True"
Check lib.IsAddin_Installed = True, "IsAddin_Installed after True"
lib.prcDesinstalar_Addin
Check lib.App_Exist = False, "App_Exist after prcDesinstalar_Addin"
Check lib.IsAddin_Installed = False, "IsAddin_Installed after prcDesinstalar_Addin"
Check lib.Delete_information_All = True, "Delete_information_All at the end"
Check lib.CheckRegistryKey(HKCU, "Software\Marvisto11") = False, "product key removed"

If failures > 0 Then WScript.Quit 1
WScript.Echo "all checks passed"
