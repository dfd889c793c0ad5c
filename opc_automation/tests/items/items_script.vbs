' Items as script users work with them: late bound through IDispatch by name, against
' SimServer's two personalities. AddItem, Item(index), For Each, Read with its optional outputs
' passed as script variables, Write and read back, the item properties, and a removed group's
' items answering CONNECT_E_NOCONNECTION. The array members (AddItems, Remove, SetActive ...)
' take typed arrays, which Wine 8's VBScript can neither build nor read: they are tested early
' bound from C++ (veltrane_items_sim_tests). A runtime error ends a script under Wine without a
' message, hence the final line the test looks for.
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

Const E_INVALIDARG = 5
Const CONNECT_E_NOCONNECTION = &H80040200
Const OPCDevice = 2

Sub Personality(progId)
  Dim server, group, items, reg, ramp, count, item, n, value, quality, stamp, e, ids
  Set server = CreateObject("Kestrov.OPCAutomation.1")
  server.Connect progId
  Set group = server.OPCGroups.Add("script items")
  Set items = group.OPCItems
  Check items.DefaultIsActive, progId & ": items are active by default"

  Set reg = items.AddItem("Register.I4", 11)
  Set ramp = items.AddItem("Ramp.R8", 12)
  Set count = items.AddItem("Static.UI2", 13)
  Check items.Count = 3, progId & ": three items, got " & items.Count
  Check reg.ItemID = "Register.I4", progId & ": ItemID"
  Check reg.ClientHandle = 11, progId & ": ClientHandle"
  Check reg.IsActive, progId & ": activated after the add"
  Check reg.AccessRights = 3, progId & ": a register is readable and writable"
  Check items.Item(2).ItemID = "Ramp.R8", progId & ": Item(2) is the second one added"
  Check items(1).ServerHandle = reg.ServerHandle, progId & ": Item is the default member"
  Check items.GetOPCItem(count.ServerHandle).ClientHandle = 13, progId & ": GetOPCItem by handle"

  ids = ""
  For Each item In items
    ids = ids & item.ItemID & ";"
  Next
  Check ids = "Register.I4;Ramp.R8;Static.UI2;", progId & ": For Each in adding order, got " & ids

  ' Read fills the variables the script passes; the unsigned value arrives as a Long.
  count.Read OPCDevice, value, quality, stamp
  Check value = 7 And VarType(value) = vbLong, progId & ": Static.UI2 read as a Long 7, got " & VarType(value)
  Check VarType(quality) = vbInteger And (quality And 192) = 192, progId & ": quality as an Integer, good"
  Check VarType(stamp) = vbDouble And stamp > 40000, progId & ": time stamp as a Double date"
  Check count.Value = 7 And Abs(count.TimeStamp - stamp) < 0.000001, progId & ": the item keeps what it read"

  n = 4321
  reg.Write n
  reg.Read OPCDevice, value
  Check value = 4321, progId & ": a written register reads back, got " & value

  On Error Resume Next
  reg.Read 3 : e = Caught()
  Set item = items.Item(4) : n = Caught()
  On Error GoTo 0
  Check e = E_INVALIDARG, progId & ": Read from source 3 refused, got " & Hex(e)
  Check n = E_INVALIDARG, progId & ": Item(Count + 1) refused, got " & Hex(n)

  server.OPCGroups.Remove "script items"
  On Error Resume Next
  n = reg.Value : e = Caught()
  On Error GoTo 0
  Check e = CONNECT_E_NOCONNECTION, progId & ": an item of a removed group is detached, got " & Hex(e)
  Check items.Count = 0, progId & ": a removed group has no items"
  server.Disconnect
End Sub

Personality "Sim.OPCDA.2"
Personality "Sim.OPCDA.1"

If failures = 0 Then WScript.Echo "items_script: all passed"
