/*
 * KorvessaDLL: bank-card payments on a card terminal attached to a serial port.
 *
 * The cash-register application hands the library one transaction at a time, either as a
 * fixed-width request record through BankTrans, or field by field through PutValue,
 * TransProcess and GetValue. Records are space-padded text without terminators, length
 * prefixes or separators; every field sits at the fixed offset given below.
 *
 * The exports must not be called concurrently: one transaction at a time per process.
 *
 * This header compiles as C and as C++.
 */
#ifndef KORVESSA_DLL_H
#define KORVESSA_DLL_H

/* Calling convention of the four exported functions. */
#if defined(_WIN32)
#define KORVESSA_API __stdcall
#else
#define KORVESSA_API
#endif

/* Linkage and visibility of the four exported functions. */
#if defined(__cplusplus)
#define KORVESSA_EXTERN extern "C"
#else
#define KORVESSA_EXTERN extern
#endif
#if defined(_WIN32)
#define KORVESSA_DECL KORVESSA_EXTERN
#elif defined(__GNUC__)
#define KORVESSA_DECL KORVESSA_EXTERN __attribute__((visibility("default")))
#else
#define KORVESSA_DECL KORVESSA_EXTERN
#endif

/* ------------------------------------------------------------------ record sizes */
#define KORVESSA_REQUEST_SIZE 106  /* TransRequest */
#define KORVESSA_RESPONSE_SIZE 161 /* TransResponse */
#define KORVESSA_VALUE_SIZE 256    /* buffer behind GetValue */

/* ------------------------------------------------------------------ result codes of BankTrans
 * 0 success; negative local failures; positive: the terminal's refusal code, its first
 * character in the low byte and its second in the high byte ("05" gives 0x3530). */
#define KORVESSA_OK 0
#define KORVESSA_ERR_OPEN (-1)       /* the serial port could not be opened */
#define KORVESSA_ERR_ARGUMENT (-2)   /* null record pointer, or a transaction type without display name */
#define KORVESSA_ERR_TIMEOUT (-3)    /* no acceptable answer within the time-out */
#define KORVESSA_ERR_RESERVED4 (-4)  /* never returned; the facade still maps it to rejCode "x4" */
#define KORVESSA_ERR_WRITE (-5)      /* writing the frame to the serial port failed */
#define KORVESSA_ERR_RESERVED6 (-6)  /* never returned; the facade still maps it to rejCode "x6" */
#define KORVESSA_ERR_TOO_LARGE (-10) /* the frame does not fit the 4096-byte send buffer */

/* The positive result of a refusal with return code c1 c2: KORVESSA_REFUSAL('0', '5') is 0x3530. */
#define KORVESSA_REFUSAL(c1, c2) ((int)(((unsigned)(unsigned char)(c2) << 8) | (unsigned char)(c1)))

/* First (low byte) and second (high byte) character of a positive refusal code. */
#define KORVESSA_REFUSAL_CHAR1(r) ((char)((r)&0xFF))
#define KORVESSA_REFUSAL_CHAR2(r) ((char)(((r) >> 8) & 0xFF))

/* ------------------------------------------------------------------ request record, 106 bytes
 * KV_REQ_<field> is the offset of the field, KV_REQ_<field>_LEN its width.
 * KORVESSA_REQUEST_FIELDS(X) calls X(field) for each field in record order, for tables built from it. */
/* clang-format off */
#define KORVESSA_REQUEST_FIELDS(X) \
  X(operType) \
  X(transType) \
  X(cardType) \
  X(cashRegisterNo) \
  X(operatorNo) \
  X(amount) \
  X(cashTraceNumber) \
  X(printFlag) \
  X(oldTraceNumber) \
  X(hostserialNumber) \
  X(oldAuthNumber) \
  X(transDate) \
  X(cardNumber) \
  X(reserved)
/* clang-format on */
#define KV_REQ_operType 0
#define KV_REQ_operType_LEN 2
#define KV_REQ_transType 2
#define KV_REQ_transType_LEN 2
#define KV_REQ_cardType 4
#define KV_REQ_cardType_LEN 2
#define KV_REQ_cashRegisterNo 6
#define KV_REQ_cashRegisterNo_LEN 9
#define KV_REQ_operatorNo 15
#define KV_REQ_operatorNo_LEN 6
#define KV_REQ_amount 21
#define KV_REQ_amount_LEN 12
#define KV_REQ_cashTraceNumber 33
#define KV_REQ_cashTraceNumber_LEN 12
#define KV_REQ_printFlag 45
#define KV_REQ_printFlag_LEN 1
#define KV_REQ_oldTraceNumber 46
#define KV_REQ_oldTraceNumber_LEN 6
#define KV_REQ_hostserialNumber 52
#define KV_REQ_hostserialNumber_LEN 12
#define KV_REQ_oldAuthNumber 64
#define KV_REQ_oldAuthNumber_LEN 12
#define KV_REQ_transDate 76
#define KV_REQ_transDate_LEN 8
#define KV_REQ_cardNumber 84
#define KV_REQ_cardNumber_LEN 19
#define KV_REQ_reserved 103
#define KV_REQ_reserved_LEN 3

/* ------------------------------------------------------------------ response record, 161 bytes
 * Filled with spaces, then copied from the terminal's answer; bytes 110..115 (gap) stay spaces;
 * the last three bytes are the request's reserved bytes. KORVESSA_RESPONSE_FIELDS(X) as above. */
/* clang-format off */
#define KORVESSA_RESPONSE_FIELDS(X) \
  X(operType) \
  X(cmdCode) \
  X(reply4) \
  X(rejCode) \
  X(reply41) \
  X(reply56) \
  X(reply139) \
  X(reply127) \
  X(amount) \
  X(cardNumber) \
  X(reply123) \
  X(transDate) \
  X(transTime) \
  X(reply165) \
  X(gap) \
  X(hostserialNumber) \
  X(reply183) \
  X(reply195) \
  X(reply35) \
  X(posTraceNumber) \
  X(reserved)
/* clang-format on */
#define KV_RSP_operType 0
#define KV_RSP_operType_LEN 2
#define KV_RSP_cmdCode 2
#define KV_RSP_cmdCode_LEN 2
#define KV_RSP_reply4 4
#define KV_RSP_reply4_LEN 2
#define KV_RSP_rejCode 6
#define KV_RSP_rejCode_LEN 2
#define KV_RSP_reply41 8
#define KV_RSP_reply41_LEN 15
#define KV_RSP_reply56 23
#define KV_RSP_reply56_LEN 8
#define KV_RSP_reply139 31
#define KV_RSP_reply139_LEN 12
#define KV_RSP_reply127 43
#define KV_RSP_reply127_LEN 12
#define KV_RSP_amount 55
#define KV_RSP_amount_LEN 12
#define KV_RSP_cardNumber 67
#define KV_RSP_cardNumber_LEN 19
#define KV_RSP_reply123 86
#define KV_RSP_reply123_LEN 4
#define KV_RSP_transDate 90
#define KV_RSP_transDate_LEN 8
#define KV_RSP_transTime 98
#define KV_RSP_transTime_LEN 6
#define KV_RSP_reply165 104
#define KV_RSP_reply165_LEN 6
#define KV_RSP_gap 110
#define KV_RSP_gap_LEN 6
#define KV_RSP_hostserialNumber 116
#define KV_RSP_hostserialNumber_LEN 12
#define KV_RSP_reply183 128
#define KV_RSP_reply183_LEN 12
#define KV_RSP_reply195 140
#define KV_RSP_reply195_LEN 6
#define KV_RSP_reply35 146
#define KV_RSP_reply35_LEN 6
#define KV_RSP_posTraceNumber 152
#define KV_RSP_posTraceNumber_LEN 6
#define KV_RSP_reserved 158
#define KV_RSP_reserved_LEN 3

/* The same layouts as structures of characters (no padding: every member is a char array). */
typedef struct TransRequest {
  char operType[2];
  char transType[2];
  char cardType[2];
  char cashRegisterNo[9];
  char operatorNo[6];
  char amount[12];
  char cashTraceNumber[12];
  char printFlag[1];
  char oldTraceNumber[6];
  char hostserialNumber[12];
  char oldAuthNumber[12];
  char transDate[8];
  char cardNumber[19];
  char reserved[3];
} TransRequest;

typedef struct TransResponse {
  char operType[2];
  char cmdCode[2];
  char reply4[2];
  char rejCode[2];
  char reply41[15];
  char reply56[8];
  char reply139[12];
  char reply127[12];
  char amount[12];
  char cardNumber[19];
  char reply123[4];
  char transDate[8];
  char transTime[6];
  char reply165[6];
  char gap[6];
  char hostserialNumber[12];
  char reply183[12];
  char reply195[6];
  char reply35[6];
  char posTraceNumber[6];
  char reserved[3];
} TransResponse;

/* Compile-time size checks (valid C89 and C++). */
typedef char KorvessaRequestSizeCheck[sizeof(TransRequest) == KORVESSA_REQUEST_SIZE ? 1 : -1];
typedef char KorvessaResponseSizeCheck[sizeof(TransResponse) == KORVESSA_RESPONSE_SIZE ? 1 : -1];

/* ------------------------------------------------------------------ exported functions
 * Ordinals: 1 BankTrans, 2 PutValue, 3 TransProcess, 4 GetValue. */

/* Runs one whole transaction. pRequest: 106-byte request record (only read);
 * pResponse: 161-byte response record (written once the handshake succeeded).
 * Returns a result code as above. */
KORVESSA_DECL int KORVESSA_API BankTrans(const char* pRequest, char* pResponse);

/* Sets a request field by name ("amount", "oldTraceNumber", "hostserialNumber", "transDate",
 * "transType"); values are left-aligned, space-padded and cut to the field's width. */
KORVESSA_DECL void KORVESSA_API PutValue(const char* pName, const char* pValue);

/* Runs the transaction of the fields set with PutValue; read the outcome with GetValue. */
KORVESSA_DECL void KORVESSA_API TransProcess(void);

/* Reads a result field by name ("rejCode", "rejCodeExplain", "cardNumber", "posTraceNumber",
 * "hostserialNumber", "transDate"). The text stays valid until the next GetValue call. */
KORVESSA_DECL const char* KORVESSA_API GetValue(const char* pName);

/* Function pointer types for callers that load the library at run time. */
typedef int(KORVESSA_API* PFN_BankTrans)(const char* pRequest, char* pResponse);
typedef void(KORVESSA_API* PFN_PutValue)(const char* pName, const char* pValue);
typedef void(KORVESSA_API* PFN_TransProcess)(void);
typedef const char*(KORVESSA_API* PFN_GetValue)(const char* pName);

#endif /* KORVESSA_DLL_H */
