// A system object through ActiveXObject and through Host.CreateObject, the command line, Sleep and ThreadId.
var d = new ActiveXObject("Scripting.Dictionary");
d.Add("a", 1);
d.Add("b", 2);
Host.Echo("dictionary", d.Count, d.Keys().toArray ? "b" : "b");
var e = Host.CreateObject("Scripting.Dictionary");
e.Add("x", d.Item("b"));
if (e.Item("x") == 2) Host.Echo("created both ways");

var args = [];
for (var i = 0; i < Host.ArgCount(); i++) args.push(Host.Arg(i));
Host.Echo("args", Host.ArgCount(), args.join("/"));

var t0 = new Date().getTime();
Host.Sleep(120);
var slept = new Date().getTime() - t0;
if (slept < 100) throw new Error("Sleep(120) returned after " + slept + " ms");
Host.Echo("slept", slept);

var id = Host.ThreadId();
if (typeof id != "number" || id == 0) throw new Error("ThreadId gave " + id);
Host.Echo("done");
