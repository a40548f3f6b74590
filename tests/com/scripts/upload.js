// A page's upload through the object to a real FTP server: every event and script call with its arguments,
// their order and the thread they arrive on; then a refused password. Prints "ok" when every check held.
// Arguments: ProgID, the server's port, the local file, the remote folder, the remote file name.
var failures = 0;
function check(ok, what) { if (!ok) { failures++; Host.Echo("FAIL " + what); } }
function eq(got, want, what) { check(got === want, what + ": got " + got + ", want " + want); }
function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(20);
    return done();
}

var progId = Host.Arg(0), port = Number(Host.Arg(1));
var pageThread = Host.ThreadId();
var page = {name: "page"};
var log = [];
function note(entry) { entry.thread = Host.ThreadId(); log.push(entry); return entry; }

var k = new ActiveXObject(progId);
Host.ConnectObject(k, "k_");
function k_PostProcess(id, speed, posted, percent, time) {
    note({what: "PostProcess", id: id, texts: [speed, posted, percent, time].join("|"), types: Host.EventTypes()});
}
function k_PostComplete(id) { note({what: "PostComplete", id: id, types: Host.EventTypes()}); }
function k_PostError(id, code) {
    note({what: "PostError", id: id, code: code, errorCode: k.ErrorCode, types: Host.EventTypes()});
}
function k_PostConnected(id) { note({what: "PostConnected"}); }
function k_PostStateChanged(id, state) { note({what: "PostStateChanged", state: state}); }
k.Object = page;
k.OnPost = function (o, speed, posted, percent, time) {
    note({what: "OnPost", object: o, texts: [speed, posted, percent, time].join("|")});
};
k.OnStateChanged = function (o, state) { note({what: "OnStateChanged", object: o, state: state}); };
function ended() {
    for (var i = 0; i < log.length; i++) if (log[i].what == "OnStateChanged") return true;
    return false;
}

k.FileID = 4000000000;
k.IP = "127.0.0.1";
k.Port = port + 65536;  // only the low 16 bits count
k.UserName = "kvobjtest";
k.UserPass = "Obj-Pass-1";
k.RemoteFolder = Host.Arg(3);
k.RemoteFile = Host.Arg(4);
k.LocalFile = Host.Arg(2);
k.Post();
check(waitFor(ended, 180000), "the upload did not end");

// PostProcess, OnPost, PostProcess, OnPost, ..., PostComplete, OnStateChanged(Object, 2).
var progress = 0;
for (var i = 0; i < log.length; i++) {
    var e = log[i];
    eq(e.thread, pageThread, e.what + " #" + i + " thread");
    if (e.what == "PostProcess") {
        progress++;
        eq(e.id, 4000000000, "PostProcess taskID");
        eq(e.types, "VT_UI4,VT_BSTR,VT_BSTR,VT_BSTR,VT_BSTR", "PostProcess argument types");
        check(/^[0-9.]+(Bytes|KB|MB|GB)\|[0-9.]+(KB|MB)\|([0-9]{1,2}|100)%\|[0-9]{2}:[0-9]{2}:[0-9]{2}$/.test(e.texts),
              "PostProcess texts " + e.texts);
        var next = log[i + 1];
        check(next && next.what == "OnPost", "PostProcess #" + i + " is not followed by its OnPost");
        if (next && next.what == "OnPost") {
            check(next.object === page, "OnPost gets Object first");
            eq(next.texts, e.texts, "OnPost texts (speed before the posted length, as the event)");
        }
    }
}
check(progress >= 1, "no progress in the whole upload");
var last = log[log.length - 1], complete = log[log.length - 2];
check(complete && complete.what == "PostComplete", "PostComplete before the end's OnStateChanged");
if (complete) {
    eq(complete.id, 4000000000, "PostComplete taskID");
    eq(complete.types, "VT_UI4", "PostComplete argument types");
}
check(last.what == "OnStateChanged" && last.object === page && last.state === 2, "OnStateChanged(Object, 2) last");
eq(k.ErrorCode, 0, "ErrorCode after the upload");

// A refused password: PostError with the code, written before the event, then OnStateChanged(Object, 3).
log = [];
k.UserPass = "wrong";
k.RemoteFile = "refused.bin";
k.Post();
check(waitFor(ended, 60000), "the refused upload did not end");
eq(log.length, 2, "notifications of the refused upload");
if (log.length == 2) {
    eq(log[0].what, "PostError", "first the event");
    eq(log[0].id, 4000000000, "PostError taskID");
    eq(log[0].code, 6, "PostError code");
    eq(log[0].errorCode, 6, "ErrorCode when PostError arrives");
    eq(log[0].types, "VT_UI4,VT_UI4", "PostError argument types");
    check(log[1].what == "OnStateChanged" && log[1].state === 3, "then OnStateChanged(Object, 3)");
}
Host.Echo(failures == 0 ? "ok" : failures + " failures");
