/* The public header compiles as C (C89), and its offset constants, the record
 * structures and the record layouts agree. Built with the unit tests; it has no code. */
#include <stddef.h>

#include "KorvessaDLL.h"

#define KV_CHECK(name, cond) typedef char name[(cond) ? 1 : -1]

KV_CHECK(req_operType, offsetof(TransRequest, operType) == KV_REQ_operType && KV_REQ_operType == 0 &&
                           sizeof(((TransRequest*)0)->operType) == KV_REQ_operType_LEN &&
                           KV_REQ_operType_LEN == 2);
KV_CHECK(req_transType, offsetof(TransRequest, transType) == KV_REQ_transType && KV_REQ_transType == 2 &&
                            sizeof(((TransRequest*)0)->transType) == KV_REQ_transType_LEN &&
                            KV_REQ_transType_LEN == 2);
KV_CHECK(req_cardType, offsetof(TransRequest, cardType) == KV_REQ_cardType && KV_REQ_cardType == 4 &&
                           sizeof(((TransRequest*)0)->cardType) == KV_REQ_cardType_LEN &&
                           KV_REQ_cardType_LEN == 2);
KV_CHECK(req_cashRegisterNo, offsetof(TransRequest, cashRegisterNo) == KV_REQ_cashRegisterNo &&
                                 KV_REQ_cashRegisterNo == 6 &&
                                 sizeof(((TransRequest*)0)->cashRegisterNo) == KV_REQ_cashRegisterNo_LEN &&
                                 KV_REQ_cashRegisterNo_LEN == 9);
KV_CHECK(req_operatorNo, offsetof(TransRequest, operatorNo) == KV_REQ_operatorNo && KV_REQ_operatorNo == 15 &&
                             sizeof(((TransRequest*)0)->operatorNo) == KV_REQ_operatorNo_LEN &&
                             KV_REQ_operatorNo_LEN == 6);
KV_CHECK(req_amount, offsetof(TransRequest, amount) == KV_REQ_amount && KV_REQ_amount == 21 &&
                         sizeof(((TransRequest*)0)->amount) == KV_REQ_amount_LEN && KV_REQ_amount_LEN == 12);
KV_CHECK(req_cashTraceNumber, offsetof(TransRequest, cashTraceNumber) == KV_REQ_cashTraceNumber &&
                                  KV_REQ_cashTraceNumber == 33 &&
                                  sizeof(((TransRequest*)0)->cashTraceNumber) == KV_REQ_cashTraceNumber_LEN &&
                                  KV_REQ_cashTraceNumber_LEN == 12);
KV_CHECK(req_printFlag, offsetof(TransRequest, printFlag) == KV_REQ_printFlag && KV_REQ_printFlag == 45 &&
                            sizeof(((TransRequest*)0)->printFlag) == KV_REQ_printFlag_LEN &&
                            KV_REQ_printFlag_LEN == 1);
KV_CHECK(req_oldTraceNumber, offsetof(TransRequest, oldTraceNumber) == KV_REQ_oldTraceNumber &&
                                 KV_REQ_oldTraceNumber == 46 &&
                                 sizeof(((TransRequest*)0)->oldTraceNumber) == KV_REQ_oldTraceNumber_LEN &&
                                 KV_REQ_oldTraceNumber_LEN == 6);
KV_CHECK(req_hostserialNumber,
         offsetof(TransRequest, hostserialNumber) == KV_REQ_hostserialNumber &&
             KV_REQ_hostserialNumber == 52 &&
             sizeof(((TransRequest*)0)->hostserialNumber) == KV_REQ_hostserialNumber_LEN &&
             KV_REQ_hostserialNumber_LEN == 12);
KV_CHECK(req_oldAuthNumber, offsetof(TransRequest, oldAuthNumber) == KV_REQ_oldAuthNumber &&
                                KV_REQ_oldAuthNumber == 64 &&
                                sizeof(((TransRequest*)0)->oldAuthNumber) == KV_REQ_oldAuthNumber_LEN &&
                                KV_REQ_oldAuthNumber_LEN == 12);
KV_CHECK(req_transDate, offsetof(TransRequest, transDate) == KV_REQ_transDate && KV_REQ_transDate == 76 &&
                            sizeof(((TransRequest*)0)->transDate) == KV_REQ_transDate_LEN &&
                            KV_REQ_transDate_LEN == 8);
KV_CHECK(req_cardNumber, offsetof(TransRequest, cardNumber) == KV_REQ_cardNumber && KV_REQ_cardNumber == 84 &&
                             sizeof(((TransRequest*)0)->cardNumber) == KV_REQ_cardNumber_LEN &&
                             KV_REQ_cardNumber_LEN == 19);
KV_CHECK(req_reserved, offsetof(TransRequest, reserved) == KV_REQ_reserved && KV_REQ_reserved == 103 &&
                           sizeof(((TransRequest*)0)->reserved) == KV_REQ_reserved_LEN &&
                           KV_REQ_reserved_LEN == 3);
KV_CHECK(rsp_operType, offsetof(TransResponse, operType) == KV_RSP_operType && KV_RSP_operType == 0 &&
                           sizeof(((TransResponse*)0)->operType) == KV_RSP_operType_LEN &&
                           KV_RSP_operType_LEN == 2);
KV_CHECK(rsp_cmdCode, offsetof(TransResponse, cmdCode) == KV_RSP_cmdCode && KV_RSP_cmdCode == 2 &&
                          sizeof(((TransResponse*)0)->cmdCode) == KV_RSP_cmdCode_LEN &&
                          KV_RSP_cmdCode_LEN == 2);
KV_CHECK(rsp_reply4, offsetof(TransResponse, reply4) == KV_RSP_reply4 && KV_RSP_reply4 == 4 &&
                         sizeof(((TransResponse*)0)->reply4) == KV_RSP_reply4_LEN && KV_RSP_reply4_LEN == 2);
KV_CHECK(rsp_rejCode, offsetof(TransResponse, rejCode) == KV_RSP_rejCode && KV_RSP_rejCode == 6 &&
                          sizeof(((TransResponse*)0)->rejCode) == KV_RSP_rejCode_LEN &&
                          KV_RSP_rejCode_LEN == 2);
KV_CHECK(rsp_reply41, offsetof(TransResponse, reply41) == KV_RSP_reply41 && KV_RSP_reply41 == 8 &&
                          sizeof(((TransResponse*)0)->reply41) == KV_RSP_reply41_LEN &&
                          KV_RSP_reply41_LEN == 15);
KV_CHECK(rsp_reply56, offsetof(TransResponse, reply56) == KV_RSP_reply56 && KV_RSP_reply56 == 23 &&
                          sizeof(((TransResponse*)0)->reply56) == KV_RSP_reply56_LEN &&
                          KV_RSP_reply56_LEN == 8);
KV_CHECK(rsp_reply139, offsetof(TransResponse, reply139) == KV_RSP_reply139 && KV_RSP_reply139 == 31 &&
                           sizeof(((TransResponse*)0)->reply139) == KV_RSP_reply139_LEN &&
                           KV_RSP_reply139_LEN == 12);
KV_CHECK(rsp_reply127, offsetof(TransResponse, reply127) == KV_RSP_reply127 && KV_RSP_reply127 == 43 &&
                           sizeof(((TransResponse*)0)->reply127) == KV_RSP_reply127_LEN &&
                           KV_RSP_reply127_LEN == 12);
KV_CHECK(rsp_amount, offsetof(TransResponse, amount) == KV_RSP_amount && KV_RSP_amount == 55 &&
                         sizeof(((TransResponse*)0)->amount) == KV_RSP_amount_LEN && KV_RSP_amount_LEN == 12);
KV_CHECK(rsp_cardNumber,
         offsetof(TransResponse, cardNumber) == KV_RSP_cardNumber && KV_RSP_cardNumber == 67 &&
             sizeof(((TransResponse*)0)->cardNumber) == KV_RSP_cardNumber_LEN && KV_RSP_cardNumber_LEN == 19);
KV_CHECK(rsp_reply123, offsetof(TransResponse, reply123) == KV_RSP_reply123 && KV_RSP_reply123 == 86 &&
                           sizeof(((TransResponse*)0)->reply123) == KV_RSP_reply123_LEN &&
                           KV_RSP_reply123_LEN == 4);
KV_CHECK(rsp_transDate, offsetof(TransResponse, transDate) == KV_RSP_transDate && KV_RSP_transDate == 90 &&
                            sizeof(((TransResponse*)0)->transDate) == KV_RSP_transDate_LEN &&
                            KV_RSP_transDate_LEN == 8);
KV_CHECK(rsp_transTime, offsetof(TransResponse, transTime) == KV_RSP_transTime && KV_RSP_transTime == 98 &&
                            sizeof(((TransResponse*)0)->transTime) == KV_RSP_transTime_LEN &&
                            KV_RSP_transTime_LEN == 6);
KV_CHECK(rsp_reply165, offsetof(TransResponse, reply165) == KV_RSP_reply165 && KV_RSP_reply165 == 104 &&
                           sizeof(((TransResponse*)0)->reply165) == KV_RSP_reply165_LEN &&
                           KV_RSP_reply165_LEN == 6);
KV_CHECK(rsp_gap, offsetof(TransResponse, gap) == KV_RSP_gap && KV_RSP_gap == 110 &&
                      sizeof(((TransResponse*)0)->gap) == KV_RSP_gap_LEN && KV_RSP_gap_LEN == 6);
KV_CHECK(rsp_hostserialNumber,
         offsetof(TransResponse, hostserialNumber) == KV_RSP_hostserialNumber &&
             KV_RSP_hostserialNumber == 116 &&
             sizeof(((TransResponse*)0)->hostserialNumber) == KV_RSP_hostserialNumber_LEN &&
             KV_RSP_hostserialNumber_LEN == 12);
KV_CHECK(rsp_reply183, offsetof(TransResponse, reply183) == KV_RSP_reply183 && KV_RSP_reply183 == 128 &&
                           sizeof(((TransResponse*)0)->reply183) == KV_RSP_reply183_LEN &&
                           KV_RSP_reply183_LEN == 12);
KV_CHECK(rsp_reply195, offsetof(TransResponse, reply195) == KV_RSP_reply195 && KV_RSP_reply195 == 140 &&
                           sizeof(((TransResponse*)0)->reply195) == KV_RSP_reply195_LEN &&
                           KV_RSP_reply195_LEN == 6);
KV_CHECK(rsp_reply35, offsetof(TransResponse, reply35) == KV_RSP_reply35 && KV_RSP_reply35 == 146 &&
                          sizeof(((TransResponse*)0)->reply35) == KV_RSP_reply35_LEN &&
                          KV_RSP_reply35_LEN == 6);
KV_CHECK(rsp_posTraceNumber, offsetof(TransResponse, posTraceNumber) == KV_RSP_posTraceNumber &&
                                 KV_RSP_posTraceNumber == 152 &&
                                 sizeof(((TransResponse*)0)->posTraceNumber) == KV_RSP_posTraceNumber_LEN &&
                                 KV_RSP_posTraceNumber_LEN == 6);
KV_CHECK(rsp_reserved, offsetof(TransResponse, reserved) == KV_RSP_reserved && KV_RSP_reserved == 158 &&
                           sizeof(((TransResponse*)0)->reserved) == KV_RSP_reserved_LEN &&
                           KV_RSP_reserved_LEN == 3);

/* The field lists name every member of the records, in order, and nothing else: the widths add up to
 * the record sizes, and each listed field sits where its constants say. */
#define KV_REQ_WIDTH(f) +KV_REQ_##f##_LEN
#define KV_RSP_WIDTH(f) +KV_RSP_##f##_LEN
KV_CHECK(req_widths, 0 KORVESSA_REQUEST_FIELDS(KV_REQ_WIDTH) == KORVESSA_REQUEST_SIZE);
KV_CHECK(rsp_widths, 0 KORVESSA_RESPONSE_FIELDS(KV_RSP_WIDTH) == KORVESSA_RESPONSE_SIZE);
#define KV_REQ_AT(f) \
  &&offsetof(TransRequest, f) == KV_REQ_##f && sizeof(((TransRequest*)0)->f) == KV_REQ_##f##_LEN
#define KV_RSP_AT(f) \
  &&offsetof(TransResponse, f) == KV_RSP_##f && sizeof(((TransResponse*)0)->f) == KV_RSP_##f##_LEN
KV_CHECK(req_listed, 1 KORVESSA_REQUEST_FIELDS(KV_REQ_AT));
KV_CHECK(rsp_listed, 1 KORVESSA_RESPONSE_FIELDS(KV_RSP_AT));

/* Result codes: the names and the refusal's byte order. */
KV_CHECK(result_codes, KORVESSA_OK == 0 && KORVESSA_ERR_OPEN == -1 && KORVESSA_ERR_ARGUMENT == -2 &&
                           KORVESSA_ERR_TIMEOUT == -3 && KORVESSA_ERR_RESERVED4 == -4 &&
                           KORVESSA_ERR_WRITE == -5 && KORVESSA_ERR_RESERVED6 == -6 &&
                           KORVESSA_ERR_TOO_LARGE == -10);
KV_CHECK(refusal, KORVESSA_REFUSAL('0', '5') == 0x3530 &&
                      KORVESSA_REFUSAL_CHAR1(KORVESSA_REFUSAL('A', 'B')) == 'A' &&
                      KORVESSA_REFUSAL_CHAR2(KORVESSA_REFUSAL('A', 'B')) == 'B');

/* The prototypes match the pointer types a caller that loads the library uses. */
static PFN_BankTrans const kBankTrans = BankTrans;
static PFN_PutValue const kPutValue = PutValue;
static PFN_TransProcess const kTransProcess = TransProcess;
static PFN_GetValue const kGetValue = GetValue;
void KorvessaHeaderCheckUse(const void** out);
void KorvessaHeaderCheckUse(const void** out) {
  out[0] = (const void*)&kBankTrans;
  out[1] = (const void*)&kPutValue;
  out[2] = (const void*)&kTransProcess;
  out[3] = (const void*)&kGetValue;
}
