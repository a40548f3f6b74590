// ConnectObject on an object without connection points fails with an error the script can catch.
var d = new ActiveXObject("Scripting.Dictionary");
try {
    Host.ConnectObject(d, "d_");
    Host.Echo("connected?");
} catch (e) {
    Host.Echo("not connectable: " + (e.number >>> 0).toString(16));
}
Host.Echo("done");
