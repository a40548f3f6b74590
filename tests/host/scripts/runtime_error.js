// An error thrown on line 4 is reported with that line and exit code 2.
Host.Echo("line 1");
var x = 1;
undefinedFunction(x);
Host.Echo("not reached");
