{ Declarations of the Korvessa card-terminal library for Delphi and Free Pascal (fpc -Mdelphi): the four
  functions (stdcall, as the DLL exports them; Free Pascal ignores stdcall on x86-64 Linux), the record
  layouts, and helpers that fill and read fields.

  State and abandon, the only calls another thread may make while a BankTrans or TransProcess runs
  (every other call waits for the transaction to end): GetValue("state") answers at once with "idle",
  "opening", "handshake", "waiting" (the request went out), "host" (the terminal talks to its bank
  through the library; GetValue("stateHost") names it) or "finishing"; GetValue("stateSeconds") gives the
  whole seconds of that step. PutValue("abandon", "1") stops waiting: the call ends -3 at its next
  100 ms step, the records kept. After the request went out the terminal may still have charged the card
  ("lastOutcome" "uncertain"): it is not a cancel on the terminal. Run the payment on a worker thread
  and poll the state from the caller's thread or a timer.

  Records are fixed-width GBK text without terminators: keep them in the record types below (arrays of
  AnsiChar), never in a (Unicode) string. Field texts are AnsiString bytes in GBK: on Delphi 2009 and
  later, convert with TEncoding.GetEncoding(936) unless the system code page is 936. GetValue returns
  the library's own buffer: copy it, never free it. A 32-bit program needs the 32-bit DLL, a 64-bit
  program the x64 one. On Linux the program finds libKorvessaDLL.so beside itself when linked with
  -k-rpath=$ORIGIN. }
unit KorvessaDLL;

interface

uses SysUtils;

const
{$IFDEF MSWINDOWS}
  KorvessaLib = 'KorvessaDLL.dll';
{$ELSE}
  KorvessaLib = 'KorvessaDLL'; { libKorvessaDLL.so }
{$ENDIF}

  KORVESSA_REQUEST_SIZE = 106;
  KORVESSA_RESPONSE_SIZE = 161;

  { Result codes of BankTrans; a positive result is the terminal's refusal code (RefusalCode). }
  KORVESSA_OK = 0;
  KORVESSA_ERR_OPEN = -1;      { the serial port could not be opened }
  KORVESSA_ERR_ARGUMENT = -2;  { null record, or a transaction type without display name }
  KORVESSA_ERR_TIMEOUT = -3;   { no acceptable answer within the time-out }
  KORVESSA_ERR_WRITE = -5;     { writing the frame to the serial port failed }
  KORVESSA_ERR_TOO_LARGE = -10; { the frame does not fit the send buffer }

type
  TKorvessaRequest = array[0..KORVESSA_REQUEST_SIZE - 1] of AnsiChar;
  TKorvessaResponse = array[0..KORVESSA_RESPONSE_SIZE - 1] of AnsiChar;
  TKorvessaField = record
    Offset, Width: Integer;
  end;

function BankTrans(Request: PAnsiChar; Response: PAnsiChar): Integer; stdcall; external KorvessaLib;
procedure PutValue(Name, Value: PAnsiChar); stdcall; external KorvessaLib;
procedure TransProcess; stdcall; external KorvessaLib;
function GetValue(Name: PAnsiChar): PAnsiChar; stdcall; external KorvessaLib;

const
  { Request record fields. }
  REQ_operType: TKorvessaField = (Offset: 0; Width: 2);
  REQ_transType: TKorvessaField = (Offset: 2; Width: 2);
  REQ_cardType: TKorvessaField = (Offset: 4; Width: 2);
  REQ_cashRegisterNo: TKorvessaField = (Offset: 6; Width: 9);
  REQ_operatorNo: TKorvessaField = (Offset: 15; Width: 6);
  REQ_amount: TKorvessaField = (Offset: 21; Width: 12);
  REQ_cashTraceNumber: TKorvessaField = (Offset: 33; Width: 12);
  REQ_printFlag: TKorvessaField = (Offset: 45; Width: 1);
  REQ_oldTraceNumber: TKorvessaField = (Offset: 46; Width: 6);
  REQ_hostserialNumber: TKorvessaField = (Offset: 52; Width: 12);
  REQ_oldAuthNumber: TKorvessaField = (Offset: 64; Width: 12);
  REQ_transDate: TKorvessaField = (Offset: 76; Width: 8);
  REQ_cardNumber: TKorvessaField = (Offset: 84; Width: 19);
  REQ_reserved: TKorvessaField = (Offset: 103; Width: 3);
  { Response record fields (bytes 110..115 stay spaces). }
  RSP_operType: TKorvessaField = (Offset: 0; Width: 2);
  RSP_cmdCode: TKorvessaField = (Offset: 2; Width: 2);
  RSP_reply4: TKorvessaField = (Offset: 4; Width: 2);
  RSP_rejCode: TKorvessaField = (Offset: 6; Width: 2);
  RSP_reply41: TKorvessaField = (Offset: 8; Width: 15);
  RSP_reply56: TKorvessaField = (Offset: 23; Width: 8);
  RSP_reply139: TKorvessaField = (Offset: 31; Width: 12);
  RSP_reply127: TKorvessaField = (Offset: 43; Width: 12);
  RSP_amount: TKorvessaField = (Offset: 55; Width: 12);
  RSP_cardNumber: TKorvessaField = (Offset: 67; Width: 19);
  RSP_reply123: TKorvessaField = (Offset: 86; Width: 4);
  RSP_transDate: TKorvessaField = (Offset: 90; Width: 8);
  RSP_transTime: TKorvessaField = (Offset: 98; Width: 6);
  RSP_reply165: TKorvessaField = (Offset: 104; Width: 6);
  RSP_hostserialNumber: TKorvessaField = (Offset: 116; Width: 12);
  RSP_reply183: TKorvessaField = (Offset: 128; Width: 12);
  RSP_reply195: TKorvessaField = (Offset: 140; Width: 6);
  RSP_reply35: TKorvessaField = (Offset: 146; Width: 6);
  RSP_posTraceNumber: TKorvessaField = (Offset: 152; Width: 6);
  RSP_reserved: TKorvessaField = (Offset: 158; Width: 3);

{ A request record of spaces. }
procedure ClearRequest(var Request: TKorvessaRequest);
{ Puts GBK text left-aligned and space-padded into a field; raises EArgumentException when too long. }
procedure PutField(var Request: TKorvessaRequest; const F: TKorvessaField; const Text: RawByteString);
{ A response field without its trailing spaces and NUL bytes. }
function GetField(const Response: TKorvessaResponse; const F: TKorvessaField): RawByteString;
{ The terminal's two-character code of a positive BankTrans result (first character in the low byte). }
function RefusalCode(Result_: Integer): RawByteString;
{ GetValue, copied out of the library's buffer. }
function GetText(const Name: RawByteString): RawByteString;

implementation

procedure ClearRequest(var Request: TKorvessaRequest);
begin
  FillChar(Request, SizeOf(Request), Ord(' '));
end;

procedure PutField(var Request: TKorvessaRequest; const F: TKorvessaField; const Text: RawByteString);
begin
  if Length(Text) > F.Width then
    raise EArgumentException.CreateFmt('"%s" is %d bytes; the field holds %d', [Text, Length(Text), F.Width]);
  FillChar(Request[F.Offset], F.Width, Ord(' '));
  if Length(Text) > 0 then
    Move(Text[1], Request[F.Offset], Length(Text));
end;

function GetField(const Response: TKorvessaResponse; const F: TKorvessaField): RawByteString;
var
  N: Integer;
begin
  N := F.Width;
  while (N > 0) and (Response[F.Offset + N - 1] in [' ', #0]) do
    Dec(N);
  SetLength(Result, N);
  if N > 0 then
    Move(Response[F.Offset], Result[1], N);
end;

function RefusalCode(Result_: Integer): RawByteString;
begin
  Result := AnsiChar(Result_ and $FF) + AnsiChar((Result_ shr 8) and $FF);
end;

function GetText(const Name: RawByteString): RawByteString;
begin
  Result := RawByteString(GetValue(PAnsiChar(Name)));
end;

end.
