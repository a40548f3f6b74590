// A page's MD5 and CRC-32 checks through the object: OnStateChanged with 5 while a long MD5 check runs
// (Md5Percent rising), 6 at the end, 3 and the checker's code on failure; no connection-point event at all;
// Stop ends an MD5 check silently. Prints "ok" when every check held.
// Arguments: ProgID, a small file, its MD5, its CRC-32, a 2 GiB file (it lasts over a second on any machine,
// so it reports progress), its MD5, a folder for a file that goes.
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function eq(got, want, what) { check(got === want, what + ": got " + got + ", want " + want); }
function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(20);
    return done();
}
var pageThread = Host.ThreadId(), page = {name: "page"};
var states = [], percents = [], events = 0, wrong = [];
var k = new ActiveXObject(Host.Arg(0));
Host.ConnectObject(k, "k_");
function k_PostStateChanged() { events++; }
function k_PostComplete() { events++; }
function k_PostError() { events++; }
function k_PostProcess() { events++; }
k.Object = page;
k.OnStateChanged = function (o, state) {
    states.push(state);
    if (state == 5) percents.push(k.Md5Percent);
    if (o !== page || Host.ThreadId() != pageThread) wrong.push(state);
};
function ended() { return states.length > 0 && states[states.length - 1] != 5; }
function run(crypType, file) {
    states = [];
    percents = [];
    k.CrypType = crypType;
    k.LocalFile = file;
    k.FileCheck();
    check(waitFor(ended, 120000), crypType + " check of " + file + " did not end");
}
k.IP = "127.0.0.1";
k.RemoteFile = "r.bin";

run("md5", Host.Arg(1));
eq(states.join(), "6", "states of a short MD5 check");
eq(k.MD5, Host.Arg(2), "MD5");
run("CRC", Host.Arg(1));
eq(states.join(), "6", "states of a CRC check");
eq(k.CRC, Host.Arg(3), "CRC");

run("Md5", Host.Arg(4));
check(states.length >= 2, "a long MD5 check reported no progress: " + states.join());
eq(states[states.length - 1], 6, "the long check's last state");
// A report comes each second: on a loaded machine a second may add less than a whole percent, so two reports
// in a row may show one figure; it never falls, and over the check it rises.
for (var i = 1; i < percents.length; i++) check(percents[i] >= percents[i - 1], "Md5Percent never fell: " + percents.join());
check(percents.length < 2 || percents[percents.length - 1] > percents[0], "Md5Percent rose: " + percents.join());
eq(k.MD5, Host.Arg(5), "MD5 of the long check");

// A file gone before the check: the CRC check cannot open it.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var gone = Host.Arg(6) + "\\gone.txt";
var stream = fso.CreateTextFile(gone, true);
stream.Write("soon gone");
stream.Close();
k.LocalFile = gone;
fso.DeleteFile(gone);
states = [];
k.CrypType = "crc";
k.FileCheck();
check(waitFor(ended, 30000), "the CRC check of a gone file did not end");
eq(states.join(), "3", "states of the failed CRC check");
eq(k.ErrorCode, 200, "ErrorCode of the failed CRC check");

// Stop during an MD5 check: nothing more is heard, the state stays 5.
states = [];
k.CrypType = "md5";
k.LocalFile = Host.Arg(4);
k.FileCheck();
Host.Sleep(300);
k.Stop();
var heard = states.length;
Host.Sleep(2500);
eq(states.length, heard, "calls after the stop");
k.FireStateChanged();
eq(states[states.length - 1], 5, "state after the stop");

eq(events, 0, "connection-point events of file checks");
eq(wrong.join(), "", "calls with another first argument or on another thread, by state");
Host.Echo(failures == 0 ? "ok" : failures + " failures");
