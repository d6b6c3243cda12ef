Attribute VB_Name = "KorvessaDLL"
' Declarations of the Korvessa card-terminal library for VB6 and VBA, mirroring bindings/csharp field for
' field. NOT COMPILED BY CI (no VB6 compiler runs here): the C# declarations are the tested ones.
'
' State and abandon, the only calls another thread may make while a BankTrans or TransProcess runs
' (every other call waits for the transaction to end): GetValue("state") answers at once with "idle",
' "opening", "handshake", "waiting" (the request went out), "host" (the terminal talks to its bank
' through the library; GetValue("stateHost") names it) or "finishing"; GetValue("stateSeconds") gives the
' whole seconds of that step. PutValue("abandon", "1") stops waiting: the call ends -3 at its next
' 100 ms step, the records kept. After the request went out the terminal may still have charged the card
' ("lastOutcome" "uncertain"): it is not a cancel on the terminal. Run the payment on a worker thread
' and poll the state from the caller's thread or a timer.
'
' Records are Byte arrays, never String: a String argument would be converted with the system code page
' and multibyte GBK text cut. Pass the first element ByRef: BankTrans(Req(0), Rsp(0)). Texts go through
' StrConv with locale 2052 (code page 936). GetValue returns the library's own buffer: copy it, never free it.
' 64-bit Office needs the x64 DLL and the PtrSafe/LongPtr declarations below (VBA7).
Option Explicit

Public Const KORVESSA_REQUEST_SIZE As Long = 106
Public Const KORVESSA_RESPONSE_SIZE As Long = 161
Public Const KORVESSA_OK As Long = 0
Public Const KORVESSA_ERR_OPEN As Long = -1
Public Const KORVESSA_ERR_ARGUMENT As Long = -2
Public Const KORVESSA_ERR_TIMEOUT As Long = -3
Public Const KORVESSA_ERR_WRITE As Long = -5
Public Const KORVESSA_ERR_TOO_LARGE As Long = -10
Private Const GBK_LCID As Long = 2052

#If VBA7 Then
Public Declare PtrSafe Function BankTrans Lib "KorvessaDLL.dll" (ByRef Request As Byte, ByRef Response As Byte) As Long
Public Declare PtrSafe Sub PutValue Lib "KorvessaDLL.dll" (ByRef Name As Byte, ByRef Value As Byte)
Public Declare PtrSafe Sub TransProcess Lib "KorvessaDLL.dll" ()
Public Declare PtrSafe Function GetValue Lib "KorvessaDLL.dll" (ByRef Name As Byte) As LongPtr
Private Declare PtrSafe Function lstrlenA Lib "kernel32" (ByVal p As LongPtr) As Long
Private Declare PtrSafe Sub CopyMemory Lib "kernel32" Alias "RtlMoveMemory" (ByRef Dst As Byte, ByVal Src As LongPtr, ByVal n As Long)
#Else
Public Declare Function BankTrans Lib "KorvessaDLL.dll" (ByRef Request As Byte, ByRef Response As Byte) As Long
Public Declare Sub PutValue Lib "KorvessaDLL.dll" (ByRef Name As Byte, ByRef Value As Byte)
Public Declare Sub TransProcess Lib "KorvessaDLL.dll" ()
Public Declare Function GetValue Lib "KorvessaDLL.dll" (ByRef Name As Byte) As Long
Private Declare Function lstrlenA Lib "kernel32" (ByVal p As Long) As Long
Private Declare Sub CopyMemory Lib "kernel32" Alias "RtlMoveMemory" (ByRef Dst As Byte, ByVal Src As Long, ByVal n As Long)
#End If

' Field offsets and widths as in the C# Req and Rsp classes (request 106 bytes, response 161 bytes;
' response bytes 110..115 stay spaces). Used as Put Req, REQ_AMOUNT, REQ_AMOUNT_LEN, "000000012345".
Public Const REQ_OPERTYPE = 0, REQ_OPERTYPE_LEN = 2, REQ_TRANSTYPE = 2, REQ_TRANSTYPE_LEN = 2
Public Const REQ_CARDTYPE = 4, REQ_CARDTYPE_LEN = 2, REQ_CASHREGISTERNO = 6, REQ_CASHREGISTERNO_LEN = 9
Public Const REQ_OPERATORNO = 15, REQ_OPERATORNO_LEN = 6, REQ_AMOUNT = 21, REQ_AMOUNT_LEN = 12
Public Const REQ_CASHTRACENUMBER = 33, REQ_CASHTRACENUMBER_LEN = 12, REQ_PRINTFLAG = 45, REQ_PRINTFLAG_LEN = 1
Public Const REQ_OLDTRACENUMBER = 46, REQ_OLDTRACENUMBER_LEN = 6, REQ_HOSTSERIALNUMBER = 52, REQ_HOSTSERIALNUMBER_LEN = 12
Public Const REQ_OLDAUTHNUMBER = 64, REQ_OLDAUTHNUMBER_LEN = 12, REQ_TRANSDATE = 76, REQ_TRANSDATE_LEN = 8
Public Const REQ_CARDNUMBER = 84, REQ_CARDNUMBER_LEN = 19, REQ_RESERVED = 103, REQ_RESERVED_LEN = 3
Public Const RSP_OPERTYPE = 0, RSP_OPERTYPE_LEN = 2, RSP_CMDCODE = 2, RSP_CMDCODE_LEN = 2
Public Const RSP_REPLY4 = 4, RSP_REPLY4_LEN = 2, RSP_REJCODE = 6, RSP_REJCODE_LEN = 2
Public Const RSP_REPLY41 = 8, RSP_REPLY41_LEN = 15, RSP_REPLY56 = 23, RSP_REPLY56_LEN = 8
Public Const RSP_REPLY139 = 31, RSP_REPLY139_LEN = 12, RSP_REPLY127 = 43, RSP_REPLY127_LEN = 12
Public Const RSP_AMOUNT = 55, RSP_AMOUNT_LEN = 12, RSP_CARDNUMBER = 67, RSP_CARDNUMBER_LEN = 19
Public Const RSP_REPLY123 = 86, RSP_REPLY123_LEN = 4, RSP_TRANSDATE = 90, RSP_TRANSDATE_LEN = 8
Public Const RSP_TRANSTIME = 98, RSP_TRANSTIME_LEN = 6, RSP_REPLY165 = 104, RSP_REPLY165_LEN = 6
Public Const RSP_HOSTSERIALNUMBER = 116, RSP_HOSTSERIALNUMBER_LEN = 12, RSP_REPLY183 = 128, RSP_REPLY183_LEN = 12
Public Const RSP_REPLY195 = 140, RSP_REPLY195_LEN = 6, RSP_REPLY35 = 146, RSP_REPLY35_LEN = 6
Public Const RSP_POSTRACENUMBER = 152, RSP_POSTRACENUMBER_LEN = 6, RSP_RESERVED = 158, RSP_RESERVED_LEN = 3

' A request record of spaces.
Public Function NewRequest() As Byte()
    Dim r() As Byte, i As Long
    ReDim r(KORVESSA_REQUEST_SIZE - 1)
    For i = 0 To KORVESSA_REQUEST_SIZE - 1: r(i) = 32: Next
    NewRequest = r
End Function

' Puts text left-aligned and space-padded into a field; raises error 5 when its GBK bytes do not fit.
Public Sub PutField(Rec() As Byte, ByVal Offset As Long, ByVal Width As Long, ByVal Text As String)
    Dim b() As Byte, n As Long, i As Long
    b = StrConv(Text, vbFromUnicode, GBK_LCID)
    n = UBound(b) + 1
    If n > Width Then Err.Raise 5, "PutField", Text & " is " & n & " bytes in GBK; the field holds " & Width
    For i = 0 To Width - 1
        If i < n Then Rec(Offset + i) = b(i) Else Rec(Offset + i) = 32
    Next
End Sub

' A field's text without its trailing spaces and NUL bytes.
Public Function GetField(Rec() As Byte, ByVal Offset As Long, ByVal Width As Long) As String
    Dim n As Long, b() As Byte, i As Long
    n = Width
    Do While n > 0
        If Rec(Offset + n - 1) <> 32 And Rec(Offset + n - 1) <> 0 Then Exit Do
        n = n - 1
    Loop
    If n = 0 Then Exit Function
    ReDim b(n - 1)
    For i = 0 To n - 1: b(i) = Rec(Offset + i): Next
    GetField = StrConv(b, vbUnicode, GBK_LCID)
End Function

' The terminal's two-character code of a positive BankTrans result (first character in the low byte).
Public Function RefusalCode(ByVal Result As Long) As String
    RefusalCode = Chr$(Result And &HFF&) & Chr$((Result \ &H100&) And &HFF&)
End Function

' NUL-terminated GBK for PutValue and GetValue.
Public Function ToC(ByVal Text As String) As Byte()
    ToC = StrConv(Text & vbNullChar, vbFromUnicode, GBK_LCID)
End Function

' GetValue, copied out of the library's buffer and decoded.
Public Function GetText(ByVal Name As String) As String
    Dim nm() As Byte, b() As Byte, n As Long
#If VBA7 Then
    Dim p As LongPtr
#Else
    Dim p As Long
#End If
    nm = ToC(Name)
    p = GetValue(nm(0))
    If p = 0 Then Exit Function
    n = lstrlenA(p)
    If n = 0 Then Exit Function
    ReDim b(n - 1)
    CopyMemory b(0), p, n
    GetText = StrConv(b, vbUnicode, GBK_LCID)
End Function

' One purchase of 123.45 through BankTrans, then the same through the facade (as the C# example).
Public Sub Example()
    Dim req() As Byte, rsp() As Byte, r As Long, nm() As Byte, v() As Byte
    req = NewRequest()
    ReDim rsp(KORVESSA_RESPONSE_SIZE - 1)
    PutField req, REQ_OPERTYPE, REQ_OPERTYPE_LEN, "A0"
    PutField req, REQ_TRANSTYPE, REQ_TRANSTYPE_LEN, "30"
    PutField req, REQ_CARDTYPE, REQ_CARDTYPE_LEN, "01"
    PutField req, REQ_AMOUNT, REQ_AMOUNT_LEN, "000000012345"
    PutField req, REQ_PRINTFLAG, REQ_PRINTFLAG_LEN, "Y"
    PutField req, REQ_RESERVED, REQ_RESERVED_LEN, "XYZ"
    r = BankTrans(req(0), rsp(0))
    Debug.Print "BankTrans " & r; IIf(r > 0, " refused " & RefusalCode(r), "")
    If r = KORVESSA_OK Or r > 0 Or r = KORVESSA_ERR_TIMEOUT Then
        Debug.Print "rejCode " & GetField(rsp, RSP_REJCODE, RSP_REJCODE_LEN)
        Debug.Print "cardNumber " & GetField(rsp, RSP_CARDNUMBER, RSP_CARDNUMBER_LEN)
        Debug.Print "reply127 " & GetField(rsp, RSP_REPLY127, RSP_REPLY127_LEN)
    End If
    nm = ToC("transType"): v = ToC("30"): PutValue nm(0), v(0)
    nm = ToC("amount"): v = ToC("000000012345"): PutValue nm(0), v(0)
    TransProcess
    Debug.Print "facade rejCode " & GetText("rejCode") & " " & GetText("rejCodeExplain")
End Sub
