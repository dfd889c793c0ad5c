' Makes the demo workbook Plant.xlsx from Plant.csv beside this script, through the spreadsheet's
' automation object. A text file holds values only: a field such as "=B2*B8" arrives as text, so
' each such cell is typed in again as a formula before the workbook is saved.
'   cscript //nologo MakeWorkbook.vbs
Option Explicit
Dim folder, xl, wb, ws, row, col, cell, formulas
folder = Left(WScript.ScriptFullName, InStrRev(WScript.ScriptFullName, "\"))
Set xl = CreateObject("Excel.Application")
xl.DisplayAlerts = False
Set wb = xl.Workbooks.Open(folder & "Plant.csv")
Set ws = wb.Worksheets(1)
formulas = 0
' Column B holds the served cells, column E the cells of Tessarel's OPC client (client.csv);
' each has its name in the column before.
For Each col In Array(2, 5)
  For row = 2 To 50
    Set cell = ws.Cells(row, col)
    If Left(cell.Text, 1) = "=" Then
      cell.Formula = cell.Text
      WScript.Echo "  " & ws.Cells(row, col - 1).Text & " (" & cell.Address & ") " & _
                   cell.Formula & " = " & cell.Text
      formulas = formulas + 1
    End If
  Next
Next
wb.SaveAs folder & "Plant.xlsx"
wb.Close False
xl.Quit
WScript.Echo "  " & formulas & " formula(s); saved " & folder & "Plant.xlsx"
