// A page that lets go of the object while its upload runs: the upload goes on to its end, the page's function
// still hears it, and the host then ends cleanly. The driver checks the file on the server.
// Arguments: ProgID, the server's port, the local file, the remote file name.
var states = [], posts = 0, pageThread = Host.ThreadId(), wrongThread = false;
var k = new ActiveXObject(Host.Arg(0));
k.OnPost = function () { posts++; if (Host.ThreadId() != pageThread) wrongThread = true; };
k.OnStateChanged = function (o, state) { states.push(state); if (Host.ThreadId() != pageThread) wrongThread = true; };
k.IP = "127.0.0.1";
k.Port = Number(Host.Arg(1));
k.UserName = "kvobjtest";
k.UserPass = "Obj-Pass-1";
k.RemoteFile = Host.Arg(3);
k.LocalFile = Host.Arg(2);
k.Post();
function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(20);
    return done();
}
if (!waitFor(function () { return posts > 0; }, 60000)) {
    k.FireStateChanged();
    throw new Error("no progress before the release; states heard " + states.join() + ", ErrorCode " + k.ErrorCode);
}
k = null;
CollectGarbage();
if (!waitFor(function () { return states.length > 0; }, 180000)) throw new Error("the upload's end was never heard");
if (states.join() != "2") throw new Error("states heard: " + states.join());
if (wrongThread) throw new Error("a function was called on another thread than the page's");
Host.Echo("ok");
