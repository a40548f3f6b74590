// The picker's file-open dialog as a page uses it; the test's driver answers each dialog in turn (the
// --dialog actions in tests/com/CMakeLists.txt, in this script's order). The chosen paths are read the way
// a page reads them, as a VBArray. Prints "ok" when every check held.
// Arguments: ProgID, folder A (a.txt, b.txt, c.txt), folder B (w.JPG, x.jpg, y.png, z.txt).
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function eq(got, want, what) {
    check(got === want, what + ": got " + got + " (" + typeof got + "), want " + want + " (" + typeof want + ")");
}
function files(p) {
    var v = p.GetSelectedFiles();
    return v === undefined ? undefined : new VBArray(v).toArray().join("|");
}
function paths(folder, names) {
    var out = [];
    for (var i = 0; i < names.length; i++) out.push(folder + "\\" + names[i]);
    return out.join("|");
}
var progId = Host.Arg(0), a = Host.Arg(1), b = Host.Arg(2);
function make() { return new ActiveXObject(progId); }

// 1: one file with AllowMultiSelect 0, typed as a bare name: the dialog opened in InitDir.
var p = make();
p.AllowMultiSelect = 0;
p.InitDir = a;
eq(p.ShowDialog(), true, "1 result");
eq(files(p), paths(a, ["b.txt"]), "1 one file");

// 2: three files with multi-select, in the order typed.
p = make();
p.InitDir = a;
eq(p.ShowDialog(), true, "2 result");
eq(files(p), paths(a, ["c.txt", "a.txt", "b.txt"]), "2 three files");

// 3: a single file with multi-select comes back as one full path.
p = make();
p.AllowMultiSelect = -1;
p.InitDir = b;
eq(p.ShowDialog(), true, "3 result");
eq(files(p), paths(b, ["z.txt"]), "3 one file with multi-select");

// 4: cancelled: false, nothing chosen. A hostile page's texts of a million characters do not stop the
// dialog from showing.
p = make();
var huge = "jpg,";
while (huge.length < (1 << 20)) huge += huge;
p.InitDir = huge;
p.FileFilter = huge;
eq(p.ShowDialog(), false, "4 result");
eq(p.GetSelectedFiles(), undefined, "4 nothing chosen");

// 5: the filter from "jpg,png": choosing everything the dialog lists gives only the matching files.
p = make();
p.FileFilter = "jpg,png";
p.InitDir = b;
eq(p.ShowDialog(), true, "5 result");
var listed = files(p);
eq(listed === undefined ? listed : listed.split("|").sort().join("|"), paths(b, ["w.JPG", "x.jpg", "y.png"]),
   "5 listed files");

// 6: two dialogs on one object append in order, each opened in its own InitDir.
p = make();
p.AllowMultiSelect = 0;
p.InitDir = a;
eq(p.ShowDialog(), true, "6 first result");
var first = p.GetSelectedFiles();
p.InitDir = b;
eq(p.ShowDialog(), true, "6 second result");
eq(files(p), paths(a, ["a.txt"]) + "|" + paths(b, ["y.png"]), "6 both, the first call's first");
eq(new VBArray(first).toArray().join("|"), paths(a, ["a.txt"]), "6 the first copy is unchanged");

Host.Echo(failures ? "failed" : "ok");
