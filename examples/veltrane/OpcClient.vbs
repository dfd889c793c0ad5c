' A small OPC client through Veltrane, as a script writes one: lists the OPC servers of this
' computer, connects to one (SimServer's DA 2.0 personality unless another ProgID is given),
' prints its status, browses its address space, adds a group with items, reads them, writes a
' register and reads it back, and removes the group again.
'   scripts/wine cscript //nologo examples/veltrane/OpcClient.vbs [ProgID [Node]]
Option Explicit
Const OPCCache = 1, OPCDevice = 2
Dim server, progId, name, servers, last, browser, branch, leaf, shown
Dim groups, group, items, item, value, quality, stamp, ids, i

progId = "Sim.OPCDA.2"
If WScript.Arguments.Count > 0 Then progId = WScript.Arguments(0)
Set server = CreateObject("Kestrov.OPCAutomation.1")

' GetOPCServers gives an array of strings. Wine's VBScript cannot read arrays other than arrays
' of Variant (the list is then not shown).
WScript.Echo "OPC servers on this computer:"
servers = server.GetOPCServers()
On Error Resume Next
last = UBound(servers)
If Err.Number = 0 Then
  On Error GoTo 0
  For Each name In servers
    WScript.Echo "  " & name
  Next
Else
  WScript.Echo "  (this script engine cannot read an array of strings)"
End If
On Error GoTo 0

If WScript.Arguments.Count > 1 Then
  server.Connect progId, WScript.Arguments(1)
Else
  server.Connect progId
End If
WScript.Echo "Connected to " & server.ServerName
WScript.Echo "  vendor      " & server.VendorInfo
WScript.Echo "  version     " & server.MajorVersion & "." & server.MinorVersion & "." & server.BuildNumber
WScript.Echo "  state       " & StateName(server.ServerState)
WScript.Echo "  started     " & server.StartTime
WScript.Echo "  server time " & server.CurrentTime

' The address space: the branches at the root, and the first leaves of each.
Set browser = server.CreateBrowser()
browser.MoveToRoot
browser.ShowBranches
WScript.Echo "Branches at the root: " & browser.Count
' Moving empties the browser's list, so each branch is looked up again from the root.
Dim count
count = browser.Count
For i = 1 To count
  browser.MoveToRoot
  browser.ShowBranches
  branch = browser.Item(i)
  browser.MoveDown branch
  browser.ShowLeafs
  shown = 0
  WScript.Echo "  " & branch & " (" & browser.Count & " leaves)"
  For Each leaf In browser
    If shown < 3 Then WScript.Echo "    " & browser.GetItemID(leaf)
    shown = shown + 1
  Next
Next
browser.MoveToRoot

' A group with three items: a ramp, a constant and a register.
Set groups = server.OPCGroups
Set group = groups.Add("Example group")
Set items = group.OPCItems
ids = Array("Ramp.R8", "Static.I4", "Register.R8")
For i = 0 To UBound(ids)
  items.AddItem ids(i), i + 1
Next
WScript.Echo "Group """ & group.Name & """ with " & items.Count & " items, update rate " & group.UpdateRate & " ms"
For Each item In items
  item.Read OPCDevice, value, quality, stamp
  WScript.Echo "  " & item.ItemID & " = " & value & "  quality " & quality & "  at " & CDate(stamp)
Next

' Write the register and read it back from the device.
Set item = items(3)
item.Write 42.5
item.Read OPCDevice, value, quality
WScript.Echo "Wrote 42.5 to " & item.ItemID & ", read back " & value

' Subscriptions report through events (DataChange); a script receives them only through its
' host's event sink (WScript.ConnectObject), which Wine's script host does not have, so this
' script reads instead of subscribing.
WScript.Echo "Not subscribing: DataChange events need WScript.ConnectObject, which this script does not use under Wine"

groups.Remove group.Name
WScript.Echo "Removed the group; groups: " & groups.Count
server.Disconnect
WScript.Echo "Disconnected"

Function StateName(state)
  Select Case state
    Case 1 StateName = "running"
    Case 2 StateName = "failed"
    Case 3 StateName = "no configuration"
    Case 4 StateName = "suspended"
    Case 5 StateName = "test"
    Case 6 StateName = "disconnected"
    Case Else StateName = "unknown (" & state & ")"
  End Select
End Function
