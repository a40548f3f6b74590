// The picker's members that need no dialog, as a page's script uses them through IDispatch: creation by
// ProgID (the host lets a page create only objects safe for untrusted callers), the setters, Version, and
// GetSelectedFiles before anything was chosen. Prints "ok" when every check held.
// Arguments: ProgID.
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function eq(got, want, what) {
    check(got === want, what + ": got " + got + " (" + typeof got + "), want " + want + " (" + typeof want + ")");
}
function fails(f, what) {
    try { f(); check(false, what + " did not fail"); } catch (e) { }
}

var p = new ActiveXObject(Host.Arg(0));
eq(p.Version, "2,3,48,2015", "Version");
eq(p.GetSelectedFiles(), undefined, "nothing chosen yet");
p.AllowMultiSelect = 0;
p.AllowMultiSelect = -1;
p.AllowMultiSelect = 2;
p.FileFilter = "jpg,png";
p.FileFilter = "";
p.InitDir = "C:\\windows";
p.InitDir = "";
// The properties the page sets cannot be read back, and Version cannot be set.
fails(function () { return p.FileFilter; }, "reading FileFilter");
fails(function () { p.Version = "1"; }, "setting Version");
eq(new ActiveXObject(Host.Arg(0)).GetSelectedFiles(), undefined, "a second object");
Host.Echo(failures ? "failed" : "ok");
