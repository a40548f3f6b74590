// What a web page does with the upload object, run by our script host as the demo's page: it creates
// Tamsic.Korvane, hooks up its events, hands it two functions, uploads one file and shows what it hears, then
// asks the object for the file's MD5.
// Arguments: server port, user, password, local file, remote folder, remote file name, and the ProgID
// (Tamsic.Korvane when it is left out; a 64-bit host creates Tamsic.Korvane64).
var port = Number(Host.Arg(0));
var korvane = new ActiveXObject(Host.ArgCount() > 6 ? Host.Arg(6) : "Tamsic.Korvane");
var ended = false, failed = false, checked = false;

Host.ConnectObject(korvane, "upload_");
function upload_PostComplete(taskID) { Host.Echo("[page] event PostComplete(" + taskID + ")"); }
function upload_PostError(taskID, code) { Host.Echo("[page] event PostError(" + taskID + ", " + code + ")"); }

korvane.Object = {name: "demo page"};
korvane.OnPost = function (page, speed, posted, percent, time) {
    Host.Echo("[page] progress: " + posted + " sent at " + speed + "/s, " + percent + ", " + time + " left");
};
korvane.OnStateChanged = function (page, state) {
    if (state == 2) Host.Echo("[page] upload complete");
    if (state == 3) Host.Echo("[page] failed with error code " + korvane.ErrorCode);
    if (state == 6) Host.Echo("[page] MD5 of the file: " + korvane.MD5);
    if (state == 2 || state == 3) ended = true;
    if (state == 3) failed = true;
    if (state == 6) checked = true;
};

function waitFor(done, ms) {
    var start = new Date().getTime();
    while (!done() && new Date().getTime() - start < ms) Host.Sleep(50);
    return done();
}

korvane.FileID = 1;
korvane.IP = "127.0.0.1";
korvane.Port = port;
korvane.UserName = Host.Arg(1);
korvane.UserPass = Host.Arg(2);
korvane.LocalFile = Host.Arg(3);
korvane.RemoteFolder = Host.Arg(4);
korvane.RemoteFile = Host.Arg(5);
Host.Echo("[page] uploading " + korvane.FileLength + " bytes to 127.0.0.1:" + port + " as " + Host.Arg(4) + "/" +
          Host.Arg(5));
korvane.Post();
if (!waitFor(function () { return ended; }, 600000) || failed) Host.Quit(1);

korvane.CrypType = "md5";
korvane.FileCheck();
if (!waitFor(function () { return checked; }, 600000)) Host.Quit(1);
