{ One purchase of 123.45 through BankTrans, then the same through the facade; prints what came back
  (texts as the library gives them: GBK). Build beside the library and its Config.ini:
    fpc -Mdelphi -k-rpath=$ORIGIN Example.dpr     (Delphi: dcc32 Example.dpr) }
program Example;

uses KorvessaDLL;

const
  Names: array[0..2] of RawByteString = ('rejCode', 'rejCodeExplain', 'cardNumber');
var
  Request: TKorvessaRequest;
  Response: TKorvessaResponse;
  R, I: Integer;
begin
  ClearRequest(Request);
  FillChar(Response, SizeOf(Response), 0);
  PutField(Request, REQ_operType, 'A0');
  PutField(Request, REQ_transType, '30'); { purchase }
  PutField(Request, REQ_cardType, '01');
  PutField(Request, REQ_amount, '000000012345'); { minor units, 12 digits }
  PutField(Request, REQ_printFlag, 'Y');
  PutField(Request, REQ_reserved, 'XYZ'); { comes back in the response's last three bytes }
  R := BankTrans(@Request[0], @Response[0]);
  if R > 0 then
    WriteLn('BankTrans ', R, ' refused ', RefusalCode(R))
  else
    WriteLn('BankTrans ', R);
  if (R = KORVESSA_OK) or (R > 0) or (R = KORVESSA_ERR_TIMEOUT) then
  begin
    WriteLn('rejCode ', GetField(Response, RSP_rejCode));
    WriteLn('amount ', GetField(Response, RSP_amount));
    WriteLn('cardNumber ', GetField(Response, RSP_cardNumber));
    WriteLn('reply127 ', GetField(Response, RSP_reply127));
    WriteLn('posTraceNumber ', GetField(Response, RSP_posTraceNumber));
    WriteLn('reserved ', GetField(Response, RSP_reserved));
  end;

  PutValue('transType', '30');
  PutValue('amount', '000000012345');
  TransProcess;
  for I := 0 to High(Names) do
    WriteLn('facade ', Names[I], ' ', GetText(Names[I]));
  if R <> KORVESSA_OK then
    Halt(1);
end.
