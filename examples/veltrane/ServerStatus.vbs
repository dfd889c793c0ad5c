' Veltrane from a script: lists the OPC servers of this computer, connects to one (SimServer's
' DA 2.0 personality unless another ProgID is given), prints its status, and adds and removes
' a group.
'   scripts/wine cscript //nologo examples/veltrane/ServerStatus.vbs [ProgID [Node]]
Option Explicit
Dim server, progId, node, name, group, groups, servers, last

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
  node = WScript.Arguments(1)
  server.Connect progId, node
Else
  server.Connect progId
End If
WScript.Echo "Connected to " & server.ServerName
WScript.Echo "  vendor      " & server.VendorInfo
WScript.Echo "  version     " & server.MajorVersion & "." & server.MinorVersion & "." & server.BuildNumber
WScript.Echo "  state       " & StateName(server.ServerState)
WScript.Echo "  started     " & server.StartTime
WScript.Echo "  server time " & server.CurrentTime
WScript.Echo "  bandwidth   " & server.Bandwidth

Set groups = server.OPCGroups
Set group = groups.Add("Example group")
WScript.Echo "Added group """ & group.Name & """ (handle " & group.ServerHandle & "); groups: " & groups.Count
groups.Remove group.Name
WScript.Echo "Removed it; groups: " & groups.Count
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
