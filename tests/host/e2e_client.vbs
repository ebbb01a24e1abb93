' A script client: the store manager by its ProgID, called late-bound on
' behalf of an ordinary process the script starts (a command interpreter
' waiting for input; asking WMI for the script's own id takes seconds under
' Wine). Prints one line per call, "<call>: <outcome in hex>" or "<call>:
' error <number>", then what came back in the variables given for out
' parameters (each held "old" before), and at the end "script: done".
Option Explicit
Dim child, pid, m, ids, t, e, s, product, store, r
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

' A variable's type and value: for an object whether it is Nothing, for an
' array its upper bound and first element.
Function Shown(v)
  On Error Resume Next
  If IsObject(v) Then
    Shown = "Nothing" : If Not v Is Nothing Then Shown = TypeName(v)
  ElseIf IsArray(v) Then
    Shown = TypeName(v) & " to " & UBound(v)
    If UBound(v) >= 0 Then Shown = Shown & " first """ & v(0) & """"
  Else
    Shown = TypeName(v) & " """ & v & """"
  End If
  If Err.Number <> 0 Then Shown = Shown & " error " & Err.Number
  Err.Clear
End Function

On Error Resume Next
r = m.FlushDataStores(pid, "Tallis") : Show "FlushDataStores"
r = m.FlushAuthStores(pid) : Show "FlushAuthStores"
ids = "old"
r = m.ListDataStoreIds(pid, ids) : Show "ListDataStoreIds"
WScript.Echo "  " & Shown(ids)
ids = "old"
r = m.ListAuthStoreIds(pid, ids) : Show "ListAuthStoreIds"
WScript.Echo "  " & Shown(ids)
r = m.ListDataStoreIds(pid, (ids)) : Show "ListDataStoreIds by value"
t = "old" : e = "old" : s = "old" : product = "old"
r = m.GetDataStoreInfo(pid, "ReaderState", t, e, s, product) : Show "GetDataStoreInfo"
WScript.Echo "  " & Shown(t) & ", " & Shown(e) & ", " & Shown(s) & ", " & Shown(product)
r = m.GetDataStoreInfo(pid, "ReaderState", (t), (e), (s), (product)) : Show "GetDataStoreInfo by value"
store = "old"
r = m.GetDataStore(pid, "ReaderState", store) : Show "GetDataStore"
WScript.Echo "  " & Shown(store)
r = m.Nope(pid) : Show "Nope"
r = m.FlushDataStores(pid) : Show "FlushDataStores with one argument"
Set m = Nothing
child.Terminate
WScript.Echo "script: done"
