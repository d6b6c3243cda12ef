/* Linked with lld-link /nodefaultlib against KorvessaDLL.lib: the imports it shows are those
 * the header's prototypes resolve to through the import library. */
#include "KorvessaDLL.h"

int Start(void) {
  char response[KORVESSA_RESPONSE_SIZE];
  PutValue("transType", "30");
  TransProcess();
  return BankTrans(GetValue("rejCode"), response);
}
