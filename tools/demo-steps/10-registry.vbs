' The registry methods of IMV_v11.CLibrary, driven as the add-in drives them.
Const HKCU = &H80000001
Const Key = "Software\IMV_v11 demo"
Set lib = CreateObject("IMV_v11.CLibrary")
lib.lCia = "Marvisto"
WScript.Echo "Created IMV_v11.CLibrary (script host process: " & _
    CreateObject("WScript.Shell").Environment("Process")("PROCESSOR_ARCHITECTURE") & "); lCia = """ & lib.lCia & """"
WScript.Echo "CreateRegistryKey(HKCU, """ & Key & "\Child"") existed before: " & lib.CreateRegistryKey(HKCU, Key & "\Child")
WScript.Echo "CheckRegistryKey: " & lib.CheckRegistryKey(HKCU, Key & "\Child")
lib.SetRegistryValue HKCU, Key, "Greeting", 1, "Hola, mundo"
WScript.Echo "GetRegistryValue text: """ & lib.GetRegistryValue(HKCU, Key, "Greeting", 1) & """"
lib.SetRegistryValue HKCU, Key, "Count", 4, 42
WScript.Echo "GetRegistryValue number: " & lib.GetRegistryValue(HKCU, Key, "Count", 4)
WScript.Echo "Missing value, default omitted: """ & lib.GetRegistryValueX(Key, "Nothing", 1) & """"
On Error Resume Next
lib.GetRegistryValue HKCU, Key, "Greeting", 2
WScript.Echo "Unsupported type code 2: error " & Err.Number & ", """ & Err.Description & """"
Err.Clear
On Error GoTo 0
lib.DeleteRegistryKey HKCU, Key & "\Child"
lib.DeleteRegistryKey HKCU, Key
WScript.Echo "Removed the demo keys; CheckRegistryKey: " & lib.CheckRegistryKey(HKCU, Key)
