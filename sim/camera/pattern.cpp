// The simulated camera's picture and the code in its lowest bits; see <sim/pattern.h>.
// The picture is drawn sixteen bytes at a time (gradient and code together), then the
// bar and the number are laid over it keeping each byte's code bit: a frame costs
// little more than writing it.
#include <sim/pattern.h>

namespace sim::pattern {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the code words are read as little-endian");

typedef uint8_t Bytes __attribute__((vector_size(16)));

constexpr uint64_t kHeader = 4;  // bytes of frame number at the start
constexpr uint32_t kBarSteps = 32;
constexpr uint64_t kCodeBlock = 64;  // bytes whose lowest bits make one 64-bit code
constexpr uint64_t kMixA = 0xBF58476D1CE4E5B9ull;
constexpr uint64_t kMixB = 0x94D049BB133111EBull;

constexpr uint64_t inverse(uint64_t odd) {
  uint64_t x = odd;
  for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
  return x;
}

// Undoes x ^= x >> shift.
uint64_t unshift(uint64_t y, int shift) {
  uint64_t x = y;
  for (int i = 0; i < 64 / shift; ++i) x = y ^ (x >> shift);
  return x;
}

// The code of 64-byte block `block` of frame `frame`, bit i for the block's byte i:
// an invertible mix of the two, so that the lowest bits of any whole block name its
// frame and its place in it, and neighbouring blocks and frames look unrelated.
uint64_t block_code(uint32_t frame, uint64_t block) {
  uint64_t x = uint64_t{frame} << 32 | static_cast<uint32_t>(block);
  x ^= x >> 30;
  x *= kMixA;
  x ^= x >> 27;
  x *= kMixB;
  return x ^ (x >> 31);
}

uint64_t unmix(uint64_t code) {
  uint64_t x = unshift(code, 31) * inverse(kMixB);
  x = unshift(x, 27) * inverse(kMixA);
  return unshift(x, 30);
}

uint8_t code_bit(uint32_t frame, uint64_t offset) {
  return static_cast<uint8_t>(block_code(frame, offset / kCodeBlock) >> (offset % kCodeBlock)) & 1;
}

// The lowest bits of eight bytes, byte i's at bit i: each lands on its own bit of
// the product's top byte, and no two partial products share a bit.
uint8_t low_bits(const uint8_t* data) {
  uint64_t word;
  __builtin_memcpy(&word, data, 8);
  return static_cast<uint8_t>(((word & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56);
}

uint64_t block_bits(const uint8_t* data) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= uint64_t{low_bits(data + 8 * i)} << (8 * i);
  return bits;
}

uint8_t header_byte(uint32_t frame, uint64_t offset) { return static_cast<uint8_t>(frame >> (8 * offset)); }

struct Layout {
  uint32_t width;
  uint32_t height;
  uint32_t depth;  // bytes a pixel
  uint64_t row;    // bytes a row
};

// A window of no pixels is drawn as 256 x 256 grey.
Layout layout_of(const Geometry& g) {
  if (g.width == 0 || g.height == 0 || g.bytes_per_pixel == 0) return {256, 256, 1, 256};
  return {g.width, g.height, g.bytes_per_pixel, uint64_t{g.width} * g.bytes_per_pixel};
}

// Lanes holding 0xFE where a pixel's byte is that colour (the lowest bit is the
// code's), for each of the three phases a 16-byte block can start at.
constexpr Bytes kRed[3] = {
    {0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE},
    {0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0},
    {0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0, 0xFE, 0, 0},
};
constexpr Bytes kGreen[3] = {kRed[2], kRed[0], kRed[1]};
constexpr Bytes kBlue[3] = {kRed[1], kRed[2], kRed[0]};

// Eight code bits spread to the lowest bits of eight bytes, bit i to byte i.
struct Spread {
  uint64_t bytes[256];
};
constexpr Spread spread_table() {
  Spread table{};
  for (uint32_t bits = 0; bits < 256; ++bits) {
    for (uint32_t i = 0; i < 8; ++i) table.bytes[bits] |= uint64_t{bits >> i & 1} << (8 * i);
  }
  return table;
}
constexpr Spread kSpread = spread_table();

// The 16-byte block being drawn: its ramp level (the same in every lane: the ramp
// climbs block by block), its code bits, and what the next three blocks add to the
// ramp (a colour row's masks come round every three blocks too).
struct Blocks {
  Bytes ramp;
  uint32_t frame;
  uint64_t block;  // 16-byte block of the frame
  uint64_t code;   // of the 64-byte block that holds it
  uint8_t rise[3];

  Bytes bits() const {
    uint32_t shift = static_cast<uint32_t>(block % 4 * 16);
    uint64_t halves[2] = {kSpread.bytes[code >> shift & 0xFF], kSpread.bytes[code >> (shift + 8) & 0xFF]};
    Bytes spread;
    __builtin_memcpy(&spread, halves, 16);
    return spread;
  }
  void next() {
    ramp += rise[0];
    if (++block % 4 == 0) code = block_code(frame, block / 4);
    uint8_t turned = rise[0];
    rise[0] = rise[1];
    rise[1] = rise[2];
    rise[2] = turned;
  }
};

// The block at `block` of a row that starts at `row_start`. Its ramp starts at
// `base` and climbs `climb` steps of `unit` every three blocks, spread over them;
// block n of the row counts from the block that holds the row's first byte.
Blocks blocks_at(uint32_t frame, uint64_t block, uint64_t row_start, uint32_t base, uint32_t climb,
                 uint32_t unit) {
  uint8_t rises[3];
  for (uint32_t i = 0; i < 3; ++i)
    rises[i] = static_cast<uint8_t>((climb / 3 + (i < climb % 3 ? 1 : 0)) * unit);
  uint64_t n = (block >> 4) - (row_start >> 4);
  uint32_t level = base + static_cast<uint32_t>(n / 3) * climb * unit;
  for (uint64_t i = 0; i < n % 3; ++i) level += rises[i];
  return {Bytes{} + static_cast<uint8_t>(level),
          frame,
          block >> 4,
          block_code(frame, block / kCodeBlock),
          {rises[n % 3], rises[(n + 1) % 3], rises[(n + 2) % 3]}};
}

// The climb every three blocks that takes a ramp through `range` levels over a row
// of `row` bytes, and never past it.
uint32_t climb_for(uint32_t range, uint64_t row) { return static_cast<uint32_t>(range * 48 / (row + 63)); }

// Colour: red rises with the ramp, blue falls, green is the row's level. The masks
// turn with the phase, block by block: 16 bytes on, each lane is a colour further.
struct Colour {
  Bytes red;
  Bytes green;
  Bytes blue;
  Bytes level;
  Bytes operator()(const Blocks& b) {
    Bytes pixels = (b.ramp & red) | (level & green) | (~b.ramp & blue) | b.bits();
    Bytes turned = red;
    red = blue;
    blue = green;
    green = turned;
    return pixels;
  }
};

// Grey: the ramp, which starts at half the row's level and climbs by even steps,
// smoothed inside each block by a finer ramp up to the next block's level. The
// finer ramps turn with the steps.
struct Grey {
  Bytes fine[3];
  explicit Grey(const Blocks& b) {
    for (int j = 0; j < 3; ++j) {
      for (int i = 0; i < 16; ++i) fine[j][i] = static_cast<uint8_t>(b.rise[j] * i / 16 & 0xFE);
    }
  }
  Bytes operator()(const Blocks& b) {
    Bytes pixels = (b.ramp + fine[0]) | b.bits();
    Bytes turned = fine[0];
    fine[0] = fine[1];
    fine[1] = fine[2];
    fine[2] = turned;
    return pixels;
  }
};

void store(const Bytes& pixels, uint64_t block, uint64_t from, uint64_t to, uint8_t* out) {
  if (block >= from && block + 16 <= to) {
    __builtin_memcpy(out + (block - from), &pixels, 16);
    return;
  }
  for (uint64_t i = block < from ? from - block : 0; i < 16 && block + i < to; ++i)
    out[block + i - from] = pixels[i];
}

// Blocks from `block` (16-aligned, at most 15 bytes before `from`) to past `to`:
// whole blocks three at a time, as many as the ramp's steps and a colour row's
// phases take to come round.
template <class Draw>
void draw_blocks(Blocks b, Draw draw, uint64_t block, uint64_t from, uint64_t to, uint8_t* out) {
  if (block < from) {
    store(draw(b), block, from, to, out);
    b.next();
    block += 16;
  }
  for (; block + 48 <= to; block += 48) {
    Bytes first = draw(b);
    b.next();
    Bytes second = draw(b);
    b.next();
    Bytes third = draw(b);
    b.next();
    __builtin_memcpy(out + (block - from), &first, 16);
    __builtin_memcpy(out + (block + 16 - from), &second, 16);
    __builtin_memcpy(out + (block + 32 - from), &third, 16);
  }
  for (; block < to; block += 16) {
    store(draw(b), block, from, to, out);
    b.next();
  }
}

// The background of one row, bytes [from, to) of the frame, into `out` (which
// holds byte `from`).
void draw_row(const Layout& l, uint32_t frame, uint64_t row_start, uint64_t y, uint64_t from, uint64_t to,
              uint8_t* out) {
  uint32_t level = l.height > 1 ? static_cast<uint32_t>((y % l.height) * 255 / (l.height - 1)) : 0;
  uint64_t block = from & ~uint64_t{15};
  if (l.depth != 3) {
    Blocks b = blocks_at(frame, block, row_start, (level >> 1) & 0xFE, climb_for(63, l.row), 2);
    return draw_blocks(b, Grey(b), block, from, to, out);
  }
  // The block may start up to 15 bytes before the row; 15 is a multiple of 3.
  unsigned phase = static_cast<unsigned>((block + 15 - row_start) % 3);
  Blocks b = blocks_at(frame, block, row_start, 0, climb_for(255, l.row), 1);
  draw_blocks(b, Colour{kRed[phase], kGreen[phase], kBlue[phase], Bytes{} + static_cast<uint8_t>(level)},
              block, from, to, out);
}

// Sets pixels [x0, x1) of a row to `value` where they fall inside [from, to),
// keeping each byte's code bit.
void paint(const Layout& l, uint64_t row_start, uint64_t x0, uint64_t x1, uint8_t value, uint64_t from,
           uint64_t to, uint8_t* out) {
  if (x1 > l.width) x1 = l.width;
  uint64_t first = row_start + x0 * l.depth;
  uint64_t last = row_start + x1 * l.depth;
  if (first < from) first = from;
  if (last > to) last = to;
  for (uint64_t at = first; at < last; ++at) {
    uint8_t& byte = out[at - from];
    byte = static_cast<uint8_t>((byte & 1) | (value & 0xFE));
  }
}

// Digits 0 to 9, 5 x 7, one byte a row, bit 4 leftmost.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// The frame number in white on a black box near the top left corner, its cells
// `scale` pixels square: one cell of margin, each digit 5 x 7 cells and a cell apart.
void draw_number(const Layout& l, uint32_t frame, uint64_t row_start, uint64_t y, uint64_t from, uint64_t to,
                 uint8_t* out) {
  uint32_t scale = (l.width < l.height ? l.width : l.height) / 96;
  if (scale == 0) scale = 1;
  uint64_t top = 2 * scale;
  uint64_t left = 2 * scale;
  if (y < top || y >= top + 9 * scale || y >= l.height) return;
  uint8_t digits[10];
  int count = 0;
  for (uint32_t n = frame; count == 0 || n != 0; n /= 10) digits[count++] = static_cast<uint8_t>(n % 10);
  uint64_t cells = 6 * static_cast<uint64_t>(count) + 1;
  paint(l, row_start, left, left + cells * scale, 0, from, to, out);
  uint64_t row = (y - top) / scale;
  if (row < 1 || row > 7) return;
  for (int d = 0; d < count; ++d) {
    uint8_t bits = kDigits[digits[count - 1 - d]][row - 1];
    for (int column = 0; column < 5; ++column) {
      if ((bits & (0x10 >> column)) == 0) continue;
      uint64_t x = left + (1 + 6 * static_cast<uint64_t>(d) + column) * scale;
      paint(l, row_start, x, x + scale, 0xFF, from, to, out);
    }
  }
}

}  // namespace

void fill(const Geometry& geometry, uint32_t frame, uint64_t offset, uint8_t* destination, size_t length) {
  Layout l = layout_of(geometry);
  uint64_t end = offset + length;
  uint64_t bar_width = l.width / kBarSteps ? l.width / kBarSteps : 1;
  uint64_t bar = uint64_t{frame % kBarSteps} * l.width / kBarSteps;
  for (uint64_t from = offset; from < end;) {
    uint64_t y = from / l.row;
    uint64_t row_start = y * l.row;
    uint64_t to = row_start + l.row < end ? row_start + l.row : end;
    uint8_t* out = destination + (from - offset);
    draw_row(l, frame, row_start, y, from, to, out);
    paint(l, row_start, bar, bar + bar_width, 0xFF, from, to, out);
    draw_number(l, frame, row_start, y, from, to, out);
    from = to;
  }
  for (uint64_t at = offset; at < kHeader && at < end; ++at)
    destination[at - offset] = header_byte(frame, at);
}

size_t mismatch(uint32_t frame, uint64_t offset, const uint8_t* data, size_t length) {
  size_t i = 0;
  for (; i < length && offset + i < kHeader; ++i) {
    if (data[i] != header_byte(frame, offset + i)) return i;
  }
  for (; i < length; ++i) {
    uint64_t at = offset + i;
    // Whole code blocks at once; the byte-by-byte look finds where one goes wrong.
    if (at % kCodeBlock == 0 && length - i >= kCodeBlock &&
        block_bits(data + i) == block_code(frame, at / kCodeBlock)) {
      i += kCodeBlock - 1;
      continue;
    }
    if ((data[i] & 1) != code_bit(frame, at)) return i;
  }
  return length;
}

Check check(const uint8_t* data, size_t length) {
  uint32_t frame = 0;
  for (size_t i = 0; i < kHeader && i < length; ++i) frame |= uint32_t{data[i]} << (8 * i);
  size_t bad = mismatch(frame, 0, data, length);
  return {bad == length, frame, bad == length ? 0 : bad};
}

size_t locate(const uint8_t* data, size_t length, uint32_t frames, uint64_t frame_size, Place* places,
              size_t capacity) {
  size_t found = 0;
  auto add = [&](uint32_t frame, uint64_t offset) {
    if (frame >= frames || offset >= frame_size) return;
    for (size_t i = 0; i < found && i < capacity; ++i) {
      if (places[i].frame == frame && places[i].offset == offset) return;
    }
    if (found < capacity) places[found] = {frame, offset};
    ++found;
  };
  if (length >= kHeader) {
    add(static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24),
        0);
  }
  // Read at each of the 64 places a code block may start, only the true one
  // names a frame in range, but for a chance of about frames in 2^32.
  for (size_t start = 0; start < kCodeBlock && start + kCodeBlock <= length; ++start) {
    uint64_t named = unmix(block_bits(data + start));
    uint64_t block = static_cast<uint32_t>(named);
    if (block * kCodeBlock >= start) add(static_cast<uint32_t>(named >> 32), block * kCodeBlock - start);
  }
  return found;
}

}  // namespace sim::pattern
