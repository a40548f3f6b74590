// An impatient page that starts again from inside its own callbacks: Stop then FileCheck inside
// OnStateChanged(5) of a long MD5 check, then a CRC check asked inside OnStateChanged(6) of that new check.
// Nothing hangs, every start asked is carried out and heard, and every call comes on the page's thread.
// Prints "ok" when every check held.
// Arguments: ProgID, a small file, its MD5, its CRC-32, a 2 GiB file (it lasts over a second on any machine,
// so it reports progress).
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function eq(got, want, what) { check(got === want, what + ": got " + got + ", want " + want); }
function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(20);
    return done();
}
var pageThread = Host.ThreadId(), page = {name: "page"};
var states = [], wrong = [], step = 0, md5Seen = "";
var k = new ActiveXObject(Host.Arg(0));
k.Object = page;
k.OnStateChanged = function (o, state) {
    states.push(state);
    if (o !== page || Host.ThreadId() != pageThread) wrong.push(state);
    if (step == 0 && state == 5) {
        // The user changes their mind during the long check.
        step = 1;
        k.Stop();
        k.LocalFile = Host.Arg(1);
        k.FileCheck();
    } else if (step == 1 && state == 6) {
        step = 2;
        md5Seen = k.MD5;
        k.CrypType = "crc";
        k.FileCheck();
    } else if (step == 2 && state == 6) {
        step = 3;
    }
};
k.IP = "127.0.0.1";
k.RemoteFile = "r.bin";
k.CrypType = "md5";
k.LocalFile = Host.Arg(4);
k.FileCheck();
check(waitFor(function () { return step == 3; }, 120000), "the starts asked inside the callbacks were not all heard: step " + step + ", states " + states.join());
eq(md5Seen, Host.Arg(2), "MD5 of the check started inside the progress report");
eq(k.CRC, Host.Arg(3), "CRC of the check started inside the completion");
eq(states[states.length - 1], 6, "the last state");
eq(wrong.join(), "", "states heard with another Object or on another thread");
Host.Sleep(300);
eq(states.join().replace(/^(5,)+/, ""), "6,6", "the states after the first progress report");
if (failures == 0) Host.Echo("ok");
