' Browsing SimServer from VBScript, the way script users walk an address space: For Each over
' the names, Item by a variable, ShowLeafs with a variable holding True, the moves and the
' errors a script sees. MoveTo takes a typed string array, which a script cannot build; it is
' tested early bound from C++. A runtime error ends a script under Wine without a message,
' hence the final line the test looks for.
Option Explicit
Dim failures : failures = 0

Sub Check(cond, what)
  If Not cond Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Function Caught()
  Caught = Err.Number
  Err.Clear
End Function

Const E_FAIL = &H80004005
Const E_INVALIDARG = 5
Const E_NOTIMPL = 445
Const TYPE_MISMATCH = 13

Dim progId, server, browser, name, seen, n, i, flat, x, e
For Each progId In Array("Sim.OPCDA.2", "Sim.OPCDA.1")
  Set server = CreateObject("Kestrov.OPCAutomation.1")
  server.Connect progId
  Set browser = server.CreateBrowser
  Check browser.Organization = 1, progId & ": hierarchical"

  browser.ShowBranches
  seen = ""
  For Each name In browser
    seen = seen & "|" & name
  Next
  Check InStr(seen, "|Ramp") > 0 And InStr(seen, "|Deep") > 0, progId & ": root branches, got " & seen
  Check browser.Count > 5, progId & ": Count of the root branches"

  ' Ramps are read-only: ask for readable items (SimServer's toolkit wants every asked right).
  browser.AccessRights = 1
  browser.MoveDown "Ramp"
  Check browser.Count = 0, progId & ": a move empties the list"
  Check browser.CurrentPosition = "Ramp", progId & ": CurrentPosition"
  browser.ShowLeafs
  n = browser.Count
  Check n > 3, progId & ": leaves of Ramp"
  i = 1
  Check browser.Item(i) <> "", progId & ": Item by a variable"
  Check browser.GetItemID(browser.Item(1)) = "Ramp." & browser.Item(1), progId & ": GetItemID"
  flat = True
  browser.ShowLeafs flat
  Check browser.Count = n And Left(browser.Item(1), 5) = "Ramp.", progId & ": ShowLeafs with True is flat"
  browser.ShowLeafs 1
  Check browser.Count = n And InStr(browser.Item(1), ".") = 0, progId & ": ShowLeafs 1 is not flat"

  On Error Resume Next
  x = browser.Item(0) : e = Caught()
  Check e = E_INVALIDARG, progId & ": Item(0) gives E_INVALIDARG, got " & Hex(e)
  x = browser.Item(n + 1) : e = Caught()
  Check e = E_INVALIDARG, progId & ": Item(Count + 1) gives E_INVALIDARG, got " & Hex(e)
  x = browser.Item("x") : e = Caught()
  Check e = TYPE_MISMATCH, progId & ": Item(""x"") is a type mismatch, got " & Hex(e)
  x = browser.GetAccessPaths("Ramp.I4") : e = Caught()
  Check e = E_NOTIMPL, progId & ": GetAccessPaths is not implemented, got " & Hex(e)
  On Error GoTo 0

  browser.Filter = "R*"
  browser.MoveToRoot
  browser.ShowBranches
  Check browser.Count = 3, progId & ": the filter R* at the root gives three branches"
  browser.Filter = ""
  server.Disconnect
Next

If failures = 0 Then WScript.Echo "browser_script: all passed"
