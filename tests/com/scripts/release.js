// A page that lets go of the object while its upload runs: the upload goes on to its end, the page's function
// still hears it, and the host then ends cleanly. The driver checks the file on the server.
// The page lets go as soon as Post has returned, and nothing here depends on how far the upload has got by
// then; the file is small, so no long transfer has to keep within the client's I/O deadline on a busy
// machine (a server that stalls for longer ends the upload with 16 and state 3).
// Arguments: ProgID, the server's port, the local file, the remote file name.
var states = [], pageThread = Host.ThreadId(), wrongThread = false;
var k = new ActiveXObject(Host.Arg(0));
k.OnPost = function () { if (Host.ThreadId() != pageThread) wrongThread = true; };
k.OnStateChanged = function (o, state) { states.push(state); if (Host.ThreadId() != pageThread) wrongThread = true; };
k.IP = "127.0.0.1";
k.Port = Number(Host.Arg(1));
k.UserName = "kvobjtest";
k.UserPass = "Obj-Pass-1";
k.RemoteFile = Host.Arg(3);
k.LocalFile = Host.Arg(2);
k.Post();
k = null;
CollectGarbage();
function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(20);
    return done();
}
if (!waitFor(function () { return states.length > 0; }, 180000)) throw new Error("the upload's end was never heard");
// Anything after the end would come at once.
Host.Sleep(300);
if (states.join() != "2") throw new Error("states heard: " + states.join());
if (wrongThread) throw new Error("a function was called on another thread than the page's");
Host.Echo("ok");
