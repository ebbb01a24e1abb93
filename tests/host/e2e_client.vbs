' A script client: the store manager by its ProgID, called late-bound on
' behalf of an ordinary process the script starts (a command interpreter
' waiting for input; asking WMI for the script's own id takes seconds under
' Wine). Prints one line per call, "<call>: <outcome in hex>" or "<call>:
' error <number>", then "script: done".
Option Explicit
Dim child, pid, m, ids, t, e, s, product, r
Set child = CreateObject("WScript.Shell").Exec("cmd")
pid = child.ProcessId
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
child.Terminate
WScript.Echo "script: done"
