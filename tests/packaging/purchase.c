/* The smallest cash register: one purchase of 123.45 through BankTrans, built against an
 * installed kit (pkg-config or find_package). Prints the result and the response fields. */
#include <stdio.h>
#include <string.h>

#include "KorvessaDLL.h"

static void Put(char* record, int offset, int width, const char* value) {
  size_t n = strlen(value);
  memcpy(record + offset, value, n < (size_t)width ? n : (size_t)width);
}

int main(void) {
  char request[KORVESSA_REQUEST_SIZE];
  char response[KORVESSA_RESPONSE_SIZE];
  int result;
  memset(request, ' ', sizeof request);
  memset(response, 0, sizeof response);
  Put(request, KV_REQ_operType, KV_REQ_operType_LEN, "A0");
  Put(request, KV_REQ_transType, KV_REQ_transType_LEN, "30");
  Put(request, KV_REQ_cardType, KV_REQ_cardType_LEN, "01");
  Put(request, KV_REQ_amount, KV_REQ_amount_LEN, "000000012345");
  result = BankTrans(request, response);
  printf("result=%d rejCode=%.2s amount=%.12s\n", result, response + KV_RSP_rejCode,
         response + KV_RSP_amount);
  return result == KORVESSA_OK ? 0 : 1;
}
