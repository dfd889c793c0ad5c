' The test coclass as scripts drive it: CreateObject, calls, properties, optional arguments,
' For Each over _NewEnum, errors with their text; in process and out of process.
' Events are not exercised here: Wine 8's script host implements neither
' WScript.ConnectObject nor the prefix argument of WScript.CreateObject (both are FIXMEs that
' end the script), so events are tested from C++ (Kit/ThroughCom.Events). Nor SAFEARRAY(LONG)
' results: Wine 8's VBScript ends the script silently on UBound or indexing of a VT_ARRAY|VT_I4.
' A runtime error also ends the script without a message there, hence the final line that the
' test looks for.
Option Explicit
Dim failures : failures = 0

Sub Check(cond, what)
  If Not cond Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Sub Exercise(progId)
  Dim calc, item, n, number, text
  Set calc = CreateObject(progId)
  Check calc.Add(2, 3) = 5, progId & " Add"
  Check calc.Add("40", 2) = 42, progId & " Add coerces"
  calc.Name = "vb"
  Check calc.Name = "vb", progId & " Name"
  Check calc.Concat("a") = "a", progId & " Concat without its optional argument"
  Check calc.Concat("a", 1) = "a1", progId & " Concat"
  n = 0
  For Each item In calc
    n = n + 1
  Next
  Check n = 3, progId & " For Each"
  Check calc.Fire(1) = 0, progId & " Fire without sinks"

  On Error Resume Next
  calc.Fail &H80070057
  number = Err.Number
  text = Err.Description
  Err.Clear
  calc.NoSuchMethod
  Check Err.Number = 438, progId & " unknown member gives error 438, got " & Err.Number
  Err.Clear
  calc.Add "x", 1
  Check Err.Number = 13, progId & " type mismatch gives error 13, got " & Err.Number
  On Error GoTo 0
  Check number = &H80070057, progId & " error number " & Hex(number)
  Check text = "Fail was asked to fail", progId & " error text: " & text
  Set calc = Nothing
End Sub

Exercise "Tessarel.KitCalc"
Exercise "Tessarel.KitCalcLocal"
If failures = 0 Then
  WScript.Echo "kit_script: all passed"
Else
  WScript.Echo "kit_script: " & failures & " failed"
End If
