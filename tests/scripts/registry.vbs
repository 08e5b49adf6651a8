' The registry methods as a script client sees them: results, Err.Number and
' Err.Description for the library's and the runtime's errors.
Option Explicit
Const HKCU = &H80000001
Const Key = "Software\IMV_v11 tests\script"
Dim failures : failures = 0

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

Sub CheckError(number, description, what)
    Check Err.Number = number, what & ": Err.Number " & Err.Number & ", expected " & number
    Check Err.Description = description, what & ": Err.Description """ & Err.Description & """"
    Err.Clear
End Sub

Dim lib : Set lib = CreateObject("IMV_v11.CLibrary")
lib.DeleteRegistryKey HKCU, Key
Check lib.CreateRegistryKey(HKCU, Key) = False, "CreateRegistryKey on a new key"
Check lib.CreateRegistryKey(HKCU, Key) = True, "CreateRegistryKey on an existing key"

lib.SetRegistryValue HKCU, Key, "text", 1, "Hola"
Check lib.GetRegistryValue(HKCU, Key, "text", 1) = "Hola", "text round trip"
Check lib.GetRegistryValue(HKCU, Key, "missing", 1) = "", "omitted DefaultValue gives """""
Check lib.GetRegistryValueX(Key, "missing", 1) = "", "omitted DefaultValue of GetRegistryValueX gives """""
Check lib.GetRegistryValue(HKCU, Key, "missing", 4, 5) = 5, "explicit default"
Dim variable : variable = "from a variable"
Check lib.GetRegistryValue(HKCU, Key, "missing", 1, variable) = "from a variable", "default by reference"
lib.SetRegistryValueX Key, "number", 4, variable & "" = "x"
Check lib.GetRegistryValue(HKCU, Key, "number", 4) = 0, "Boolean False written as a number"
variable = 1234
lib.SetRegistryValue HKCU, Key, "number", 4, variable
Check lib.GetRegistryValueX(Key, "number", 4) = 1234, "number by reference"

On Error Resume Next
lib.GetRegistryValue HKCU, Key, "text", 2
CheckError 1001, "Tipo de valor no compatible", "unsupported type code"
lib.GetRegistryValueX Key, "text", 2
CheckError 1001, "Tipo de valor no compatible", "unsupported type code through GetRegistryValueX"
lib.SetRegistryValue HKCU, Key, "binary", 3, ""
CheckError 9, "Subscript out of range", "empty binary value"
lib.SetRegistryValue HKCU, Key, "number", 4, "twelve"
CheckError 13, "Type mismatch", "text that is no number"
lib.SetRegistryValue HKCU, Key, "number", 4, "9999999999"
CheckError 6, "Overflow", "number out of range"
lib.CreateRegistryKey 12345, "x"
CheckError 1001, "No fue posible crear la clave del registro", "key that cannot be created"
On Error GoTo 0
Check lib.GetRegistryValue(HKCU, Key, "number", 4) = 1234, "failed writes leave the value"

lib.DeleteRegistryValue HKCU, Key, "text"
Check lib.GetRegistryValue(HKCU, Key, "text", 1, "gone") = "gone", "deleted value"
lib.DeleteRegistryKey HKCU, Key
Check lib.CheckRegistryKey(HKCU, Key) = False, "deleted key"

If failures > 0 Then WScript.Quit 1
WScript.Echo "registry.vbs: all checks passed"
