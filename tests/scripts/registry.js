// A second script client: JScript sees the full HRESULT in e.number.
var HKCU = 0x80000001 | 0;
var key = "Software\\IMV_v11 tests\\jscript";
var failures = 0;
function check(condition, what) {
    if (!condition) { WScript.Echo("FAILED: " + what); failures++; }
}
function expectError(hresult, description, what, call) {
    try { call(); check(false, what + ": no error"); }
    catch (e) {
        check((e.number >>> 0) == hresult, what + ": number " + (e.number >>> 0).toString(16));
        check(e.description == description, what + ": description " + e.description);
    }
}
var lib = new ActiveXObject("IMV_v11.CLibrary");
lib.CreateRegistryKey(HKCU, key);
lib.SetRegistryValue(HKCU, key, "v", 1, "jscript");
check(lib.GetRegistryValue(HKCU, key, "v", 1) == "jscript", "text round trip");
check(lib.GetRegistryValue(HKCU, key, "none", 1) === "", "omitted default");
expectError(0x800A03E9, "Tipo de valor no compatible", "type code 0", function () { lib.GetRegistryValue(HKCU, key, "v", 0); });
expectError(0x800A0009, "Subscript out of range", "empty binary", function () { lib.SetRegistryValue(HKCU, key, "b", 3, ""); });
lib.DeleteRegistryKey(HKCU, key);
if (failures) WScript.Quit(1);
WScript.Echo("registry.js: all checks passed");
