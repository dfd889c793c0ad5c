' Veltrane as script hosts drive it: late bound through IDispatch by name, against SimServer's
' two personalities. What a script cannot do here is tested early bound from C++ instead:
' Wine 8's script host has no WScript.ConnectObject (no events: ServerShutDown), and
' IKestrovEnhancement.ConnectViaCLSID is not on the object's default dispatch interface.
' Nor can Wine 8's VBScript read typed arrays: For Each, UBound or an index on GetOPCServers'
' VT_ARRAY|VT_BSTR result fail (the server list is checked early bound from C++, and this
' script checks only that the failure is the script engine's and not Veltrane's). It has no
' Execute either, so every expected error is caught in place. A runtime error ends a script
' under Wine without a message, hence the final line the test looks for.
Option Explicit
Dim failures : failures = 0

Sub Check(cond, what)
  If Not cond Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

' The error of the statement just run under On Error Resume Next, which is then cleared.
Function Caught()
  Caught = Err.Number
  Err.Clear
End Function

' Script engines report the well-known HRESULTs as VBScript's own error numbers (E_INVALIDARG
' as 5, E_NOTIMPL as 445, E_NOINTERFACE as 430); the others as they are.
Const E_FAIL = &H80004005
Const E_NOINTERFACE = 430
Const E_INVALIDARG = 5
Const E_NOTIMPL = 445

Dim server, names, name, sim1, sim2, groups, group, g, n, x, e, e2
Set server = CreateObject("Kestrov.OPCAutomation.1")

' Not connected: status fails, the names are empty, group defaults are kept.
On Error Resume Next
n = server.ServerState : e = Caught()
On Error GoTo 0
Check e = E_FAIL, "ServerState while not connected gives E_FAIL, got " & Hex(e)
Check server.ServerName = "", "no server name before Connect"
Set groups = server.OPCGroups
groups.DefaultGroupUpdateRate = 250
Check groups.DefaultGroupUpdateRate = 250, "a group default set while not connected is kept"
On Error Resume Next
groups.Add "x" : e = Caught()
On Error GoTo 0
Check e = E_FAIL, "OPCGroups.Add while not connected gives E_FAIL, got " & Hex(e)

' The server list: an array (of strings), each SimServer personality once where the script
' engine can read it.
names = server.GetOPCServers()
Check IsArray(names), "GetOPCServers returns an array"
sim1 = 0 : sim2 = 0
On Error Resume Next
n = UBound(names) : e = Caught()
On Error GoTo 0
If e = 0 Then
  For Each name In names
    If name = "Sim.OPCDA.1" Then sim1 = sim1 + 1
    If name = "Sim.OPCDA.2" Then sim2 = sim2 + 1
  Next
  Check sim1 = 1 And sim2 = 1, "each SimServer personality listed once (" & sim1 & ", " & sim2 & ")"
Else
  WScript.Echo "note: this script engine cannot enumerate an array of strings (error " & Hex(e) & ")"
End If

' DA 2.0 by its version-independent ProgID.
server.Connect "Sim.OPCDA"
Check server.ServerName = "Sim.OPCDA", "ServerName is the ProgID connected to"
Check server.ServerState = 1, "ServerState is OPCRunning"
Check Len(server.VendorInfo) > 0, "VendorInfo is given"
Check VarType(server.StartTime) = vbDate, "StartTime is a date"
Check Abs(CDbl(server.CurrentTime) - CDbl(Now)) * 86400 < 120, "CurrentTime is local time: " & server.CurrentTime & " against " & Now
server.ClientName = "veltrane_script"
Check server.ClientName = "veltrane_script", "ClientName is kept once the server took it"
Check server.LocaleID = server.LocaleID, "LocaleID reads back"

' Groups: defaults reach the server, look-up by name and by index, For Each, removal.
Set group = groups.Add("Script group")
Check group.Name = "Script group", "the new group has its name"
Set g = groups.Add()
Check Len(g.Name) > 0, "a group added without a name is named by the server"
Check groups.Count = 2, "two groups"
Check groups("Script group").ServerHandle = group.ServerHandle, "Item by name"
Check groups(1).ServerHandle = group.ServerHandle, "Item(1) is the first group added"
Check groups.GetOPCGroup(g.ServerHandle).Name = g.Name, "GetOPCGroup by handle"
On Error Resume Next
Set x = groups.Item(0) : e = Caught()
Set x = groups.Item("no such group") : e2 = Caught()
On Error GoTo 0
Check e = E_INVALIDARG, "Item(0) gives E_INVALIDARG, got " & Hex(e)
Check e2 = E_INVALIDARG, "an unknown name gives E_INVALIDARG, got " & Hex(e2)
n = 0
For Each g In groups
  n = n + 1
Next
Check n = 2, "For Each visits both groups"
groups.Remove "Script group"
Check groups.Count = 1, "Remove by name"
groups.RemoveAll
Check groups.Count = 0, "RemoveAll"
On Error Resume Next
Set x = groups.ConnectPublicGroup("p") : e = Caught()
On Error GoTo 0
Check e = E_NOTIMPL, "ConnectPublicGroup gives E_NOTIMPL, got " & Hex(e)

' DA 1.0: no IOPCCommon, so its members say so; the status still works.
server.Connect "Sim.OPCDA.1"
Check server.ServerState = 1, "DA 1.0 server running"
On Error Resume Next
n = server.LocaleID : e = Caught()
server.ClientName = "x" : e2 = Caught()
On Error GoTo 0
Check e = E_NOINTERFACE, "LocaleID needs IOPCCommon, got " & Hex(e)
Check e2 = E_NOINTERFACE, "ClientName needs IOPCCommon, got " & Hex(e2)

' A failed Connect after a good one leaves nothing behind.
On Error Resume Next
server.Connect "No.Such.Server" : e = Caught()
n = server.ServerState : e2 = Caught()
On Error GoTo 0
Check e = &H80070002, "an unknown ProgID gives the registry's error, got " & Hex(e)
Check server.ServerName = "", "the failed Connect cleared the server name"
Check e2 = E_FAIL, "and the connection, got " & Hex(e2)
server.Disconnect

If failures = 0 Then
  WScript.Echo "veltrane_script: all passed"
Else
  WScript.Echo "veltrane_script: " & failures & " failed"
End If
