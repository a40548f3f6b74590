// The drop-area control as a page's script uses it: embedded in the page, it gives nothing before a drop
// and the dropped paths as an array after each one (folders left out, each drop replacing the list). Prints
// "ok" when every check held.
// Arguments: ProgID, two files, a folder.
var progId = Host.Arg(0), first = Host.Arg(1), second = Host.Arg(2), folder = Host.Arg(3);
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function list(value) { return new VBArray(value).toArray(); }

var control = Host.Embed(progId);
// No OnFileDrop here: the control calls it with one VT_UINT argument, which the system JScript engine refuses
// to run (the C++ tests record that call).

check(control.GetSelectedFiles() === undefined, "before any drop: nothing");

check(Host.DropFiles(control, second, folder, first) === 0, "the first drop succeeds");
var files = list(control.GetSelectedFiles());
check(files.length === 2, "two files, got " + files.length);
check(files[0] === second && files[1] === first, "in the shell's order: " + files.join("|"));

check(Host.DropFiles(control, folder) === 0, "a drop of a folder only succeeds");
var empty = control.GetSelectedFiles();
check(empty !== undefined, "a folders-only drop gives an array");
check(list(empty).length === 0, "an empty one");

check(Host.DropFiles(control, first) === 0, "the third drop succeeds");
check(list(control.GetSelectedFiles()).join("|") === first, "the list holds only the last drop");
check(files.length === 2, "a list read before keeps its own copy");

Host.Echo(failures ? "failed" : "ok");
