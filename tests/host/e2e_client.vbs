' A script client: the store manager by its ProgID, called late-bound on
' behalf of this script's own process. Prints one line per call, "<call>:
' <outcome in hex>" or "<call>: error <number>", then "script: done".
Option Explicit
Dim pid, p, m, ids, t, e, s, product, r
For Each p In GetObject("winmgmts:").ExecQuery("Select * From Win32_Process Where Name = 'cscript.exe'")
  pid = p.ProcessId
Next
Set m = CreateObject("qv.kelmyr.DataStoreManager")

Sub Show(what)
  If Err.Number = 0 Then
    WScript.Echo what & ": " & Hex(r)
  Else
    WScript.Echo what & ": error " & Err.Number
  End If
  Err.Clear
  r = Empty
End Sub

On Error Resume Next
r = m.FlushDataStores(pid, "Tallis") : Show "FlushDataStores"
r = m.FlushAuthStores(pid) : Show "FlushAuthStores"
r = m.ListDataStoreIds(pid, ids) : Show "ListDataStoreIds"
r = m.ListAuthStoreIds(pid, ids) : Show "ListAuthStoreIds"
r = m.ListDataStoreIds(pid, (ids)) : Show "ListDataStoreIds by value"
r = m.GetDataStoreInfo(pid, "ReaderState", t, e, s, product) : Show "GetDataStoreInfo"
r = m.GetDataStoreInfo(pid, "ReaderState", (t), (e), (s), (product)) : Show "GetDataStoreInfo by value"
r = m.Nope(pid) : Show "Nope"
r = m.FlushDataStores(pid) : Show "FlushDataStores with one argument"
Set m = Nothing
WScript.Echo "script: done"
