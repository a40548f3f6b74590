// The upload object's synchronous members as a page's script uses them, through IDispatch: initial values,
// setters, the check before a start with its codes, its PostStateChanged event and OnStateChanged call, and
// the two script functions called by the page itself. Runs in our host (which also hooks up the events and
// tells threads apart) and in Wine's cscript (which cannot). Prints "ok" when every check held.
// Arguments: ProgID, a folder for log files, a file of 1000 bytes, a path where no file is.
var host = typeof Host != "undefined" ? Host : null;
function arg(i) { return host ? host.Arg(i) : WScript.Arguments.Item(i); }
function say(text) { if (host) host.Echo(text); else WScript.Echo(text); }
var failures = 0;
function check(ok, what) { if (!ok) { failures++; say("FAIL " + what); } }
function eq(got, want, what) {
    check(got === want, what + ": got " + got + " (" + typeof got + "), want " + want + " (" + typeof want + ")");
}

var progId = arg(0), folder = arg(1), file = arg(2), missing = arg(3);
var pageThread = host ? host.ThreadId() : 0;
var fso = new ActiveXObject("Scripting.FileSystemObject");

// What the current object told the page, in order.
var log = [];
var page = {name: "page"};
function onState(o, s) { log.push({what: "state", object: o, state: s, thread: host ? host.ThreadId() : 0}); }
function onPost(o, speed, posted, percent, time) {
    log.push({what: "post", object: o, texts: [speed, posted, percent, time].join("|"),
              thread: host ? host.ThreadId() : 0});
}
function k_PostStateChanged(taskID, state) {
    log.push({what: "event", taskID: taskID, state: state, types: host.EventTypes(), thread: host.ThreadId()});
}

function make() {
    var k = new ActiveXObject(progId);
    if (host) host.ConnectObject(k, "k_");
    k.Object = page;
    k.OnStateChanged = onState;
    k.OnPost = onPost;
    log = [];
    return k;
}

// A failed check tells the page once through each way, the event first, before the call returns.
function expectFailedCheck(k, code, taskID, what) {
    eq(k.ErrorCode, code, what + ": ErrorCode");
    var n = host ? 2 : 1;
    eq(log.length, n, what + ": number of notifications");
    if (host && log.length == 2) {
        eq(log[0].what, "event", what + ": first the event");
        eq(log[0].taskID, taskID, what + ": event taskID");
        eq(log[0].state, 3, what + ": event state");
        eq(log[0].types, "VT_UI4,VT_I4", what + ": event argument types");
        eq(log[0].thread, pageThread, what + ": event thread");
    }
    var call = log[n - 1];
    if (call) {
        eq(call.what, "state", what + ": then OnStateChanged");
        check(call.object === page, what + ": OnStateChanged gets Object first");
        eq(call.state, 3, what + ": OnStateChanged state");
        if (host) eq(call.thread, pageThread, what + ": OnStateChanged thread");
    }
}

// ---- a new object
var k = new ActiveXObject(progId);
eq(k.ErrorCode, 0, "new ErrorCode");
eq(k.Md5Percent, 0, "new Md5Percent");
eq(k.FileLength, "0", "new FileLength");
eq(k.SupportMd5, 1, "SupportMd5");
eq(k.SupportCrc, 1, "SupportCrc");
eq(k.MD5, "", "new MD5");
eq(k.CRC, "", "new CRC");
eq(k.LogData, "", "LogData");

// ---- the check before a start
k = make();
k.Post();
expectFailedCheck(k, 201, 0, "Post on a new object");

k = make();
k.FileID = 7;
k.LocalFile = file;
k.RemoteFile = "r.bin";
k.Post();
expectFailedCheck(k, 10, 7, "no server address");

k = make();
k.FileID = 4000000000;
k.IP = "127.0.0.1";
k.LocalFile = file;
k.Post();
expectFailedCheck(k, 9, 4000000000, "no remote file (a FileID above 2^31)");

k = make();
k.LocalFile = file;
k.Post();
expectFailedCheck(k, 9, 0, "several fail: the last code stays");

k = make();
k.LocalFile = file;
k.RemoteFile = "r.bin";
k.CrypType = "md5";
k.FileCheck();
expectFailedCheck(k, 10, 0, "a local check still needs IP");

// Encryption first: the name decrypts to an empty text (one block made with openssl, see KorvaneObjectTest).
k = make();
k.IP = "127.0.0.1";
k.LocalFile = file;
k.RemoteFile = "r.bin";
k.Encryption = true;
k.UserName = "AuFZEp2+D+DWgA80MLrtWA==";
k.Post();
expectFailedCheck(k, 11, 0, "an encrypted name that decrypts to nothing");

// A CrypType that names no check does nothing at all, not even its check.
k = make();
k.CrypType = "sha1";
k.FileCheck();
eq(log.length, 0, "FileCheck with CrypType sha1 told something");
eq(k.ErrorCode, 0, "FileCheck with CrypType sha1: ErrorCode");

// Stop outside a run does nothing.
k = make();
k.Post();
log = [];
k.Stop();
eq(log.length, 0, "Stop in state 3 told something");
k.FireStateChanged();
eq(log.length == 1 ? log[0].state : -1, 3, "state after Stop in state 3");

// ---- setters
k = make();
k.LocalFile = file + "\0junk";
eq(k.FileLength, "1000", "LocalFile ends at its NUL");
k.LocalFile = missing;
eq(k.FileLength, "0", "a missing LocalFile has size 0");
k.Port = 70000;
k.Passive = 1;
k.AutoCreateFolder = true;

k.Debug = false;
k.LogFile = folder + "\\off.log";
check(!fso.FileExists(folder + "\\off.log"), "LogFile opened a log while Debug was off");
k.Debug = true;
check(!fso.FileExists(folder + "\\off.log"), "setting Debug later opened the log");
k.LogFile = folder + "\\on.log";
check(fso.FileExists(folder + "\\on.log"), "LogFile with Debug on opened nothing");

// ---- the script functions, called by the page itself
k = make();
k.FireOnPost("posted", "speed", "50%", "00:00:07");
eq(log.length, 1, "FireOnPost calls");
if (log.length == 1) {
    check(log[0].object === page, "OnPost gets Object first");
    eq(log[0].texts, "speed|posted|50%|00:00:07", "OnPost gets speed before the posted length");
}
// A page cannot clear a function by setting null (no null converts to IDispatchEx); a new object has none.
log = [];
k.FireStateChanged();
eq(log.length == 1 ? log[0].state : -1, 0, "FireStateChanged gives the current state");

k = new ActiveXObject(progId);
log = [];
k.OnStateChanged = onState;
k.FireStateChanged();
check(log.length == 1 && log[0].object === null, "without Object the first argument is null");
k = new ActiveXObject(progId);
k.FireOnPost("a", "b", "c", "d");
k.FireStateChanged();
eq(log.length, 1, "an object without functions called something");

say(failures == 0 ? "ok" : failures + " failures");
