' What a VBScript page meets with the upload object: the unsigned numbers (ErrorCode, the events' taskID and
' errCode) cannot be compared or named until CLng makes them numbers; Set with Object or a callback asks for a
' put-by-reference the interface does not have, while the plain assignment works; only script objects go into
' those properties; an object of a VBScript class with a default function serves as a callback. Prints "ok"
' when every check held.
' Arguments: the upload object's ProgID, the drop area's.
Option Explicit
Dim failures, korvane, dropArea, events, handled, info, code, ignored
failures = 0

Sub Check(ok, what)
  If Not ok Then
    failures = failures + 1
    Host.Echo "FAIL " & what
  End If
End Sub

Class PageInfo
  Public Name
End Class

Class StateHandler
  Public Default Function Changed(page, state)
    handled = handled & "|" & page.Name & ":" & state
  End Function
End Class

Set korvane = Host.CreateObject(Host.Arg(0))

' ErrorCode is VT_UINT: no comparison, no TypeName, until CLng. (Wine 8's VBScript has no Execute, so each
' statement that may fail stands on its own between On Error lines.)
On Error Resume Next
ignored = (korvane.ErrorCode = 0)
code = Err.Number
On Error GoTo 0
Check code = 13, "comparing ErrorCode fails with 13, got " & code
On Error Resume Next
ignored = TypeName(korvane.ErrorCode)
code = Err.Number
On Error GoTo 0
Check code <> 0, "TypeName(ErrorCode) fails"
Check CLng(korvane.ErrorCode) = 0, "CLng(ErrorCode) compares"
Check CStr(korvane.ErrorCode) = "0", "CStr(ErrorCode)"
Check "code " & korvane.ErrorCode = "code 0", "ErrorCode joined to a text"

' Set asks for a put-by-reference: refused. The plain assignment puts the object.
Set info = New PageInfo
info.Name = "vb"
On Error Resume Next
Set korvane.Object = info
code = Err.Number
On Error GoTo 0
Check code = 438, "Set korvane.Object fails with 438, got " & code
On Error Resume Next
Set korvane.OnStateChanged = New StateHandler
code = Err.Number
On Error GoTo 0
Check code = 438, "Set korvane.OnStateChanged fails with 438, got " & code
On Error Resume Next
Set korvane.OnPost = New StateHandler
code = Err.Number
On Error GoTo 0
Check code = 438, "Set korvane.OnPost fails with 438, got " & code
On Error Resume Next
korvane.Object = CreateObject("Scripting.Dictionary")
code = Err.Number
On Error GoTo 0
Check code = 430, "a COM object that is no script object is refused with 430, got " & code
korvane.Object = Nothing
korvane.Object = info
korvane.OnStateChanged = New StateHandler
Set dropArea = Host.CreateObject(Host.Arg(1))
On Error Resume Next
Set dropArea.OnFileDrop = New StateHandler
code = Err.Number
On Error GoTo 0
Check code = 438, "Set dropArea.OnFileDrop fails with 438, got " & code
dropArea.OnFileDrop = New StateHandler

' A failed check of the settings: the event's taskID is VT_UI4, and the callback gets (Object, 3).
Sub k_PostStateChanged(taskID, state)
  Dim compared
  events = events & "|" & Host.EventTypes()
  On Error Resume Next
  compared = (taskID = 7)
  events = events & "|compare:" & Err.Number
  Err.Clear
  On Error GoTo 0
  events = events & "|CLng:" & CLng(taskID) & "|CDbl:" & CDbl(taskID)
  If state = 3 Then events = events & "|state 3"
End Sub
Host.ConnectObject korvane, "k_"
events = ""
handled = ""
korvane.FileID = 7
korvane.Post
Check events = "|VT_UI4,VT_I4|compare:13|CLng:7|CDbl:7|state 3", "PostStateChanged in VBScript: " & events
Check handled = "|vb:3", "the class's default function as OnStateChanged: " & handled
Check CLng(korvane.ErrorCode) = 201, "CLng(ErrorCode) after the failed check"

' Above 2147483647 CLng does not give the number; CDbl does.
events = ""
korvane.FileID = 4000000000
korvane.Post
Check InStr(events, "|CDbl:4000000000|") > 0, "CDbl of a large taskID: " & events
Check InStr(events, "|CLng:4000000000|") = 0, "CLng of a large taskID gives another number: " & events

If failures = 0 Then Host.Echo "ok" Else Host.Echo failures & " failures"
