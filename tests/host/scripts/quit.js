// Quit ends the script at once with its code.
Host.Echo("before");
Host.Quit(7);
Host.Echo("after");
