// A diagnostic hex dump, one row of up to 16 bytes per debug print.
#include "driver.h"

#define CAM_HEX_ROW_BYTES 16
#define CAM_HEX_ROW_CHARS 64

static ULONG CamFormatHex(CHAR* Out, ULONG Value, ULONG MinimumDigits) {
  static const CHAR digits[] = "0123456789ABCDEF";
  ULONG count = 1;
  while (count < 8 && (Value >> (4 * count)) != 0) count++;
  if (count < MinimumDigits) count = MinimumDigits;
  for (ULONG i = 0; i < count; i++) Out[i] = digits[(Value >> (4 * (count - 1 - i))) & 0xF];
  Out[count] = ' ';
  return count + 1;
}

// Any IRQL. Rows go to the debugger's informational level, which is off unless a
// developer turns it on.
VOID CamHexDump(const VOID* Buffer, ULONG Length) {
  const UCHAR* bytes = (const UCHAR*)Buffer;
  for (ULONG offset = 0; offset < Length; offset += CAM_HEX_ROW_BYTES) {
    CHAR row[CAM_HEX_ROW_CHARS];
    ULONG used = CamFormatHex(row, offset, 4);
    for (ULONG i = offset; i < Length && i < offset + CAM_HEX_ROW_BYTES; i++) {
      used += CamFormatHex(row + used, bytes[i], 2);
    }
    row[used] = '\0';
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "%s\n", row);
  }
}
