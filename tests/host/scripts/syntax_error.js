// Does not compile.
Host.Echo("never";
