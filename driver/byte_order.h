// Little-endian access to request buffers and descriptors, byte by byte, so that
// no unaligned pointer is ever cast.
#pragma once

#include "platform.h"

FORCEINLINE USHORT CamGetU16(const VOID* Source) {
  const UCHAR* b = (const UCHAR*)Source;
  return (USHORT)(b[0] | (b[1] << 8));
}

FORCEINLINE ULONG CamGetU32(const VOID* Source) {
  const UCHAR* b = (const UCHAR*)Source;
  return (ULONG)b[0] | ((ULONG)b[1] << 8) | ((ULONG)b[2] << 16) | ((ULONG)b[3] << 24);
}

FORCEINLINE VOID CamPutU32(VOID* Destination, ULONG Value) {
  UCHAR* b = (UCHAR*)Destination;
  b[0] = (UCHAR)Value;
  b[1] = (UCHAR)(Value >> 8);
  b[2] = (UCHAR)(Value >> 16);
  b[3] = (UCHAR)(Value >> 24);
}
