/* The sample recovery disc's EFI boot program: a UEFI application (PE32+, x86-64) that the firmware
 * starts from \EFI\BOOT\BOOTX64.EFI of the disc's EFI system partition image or of a USB medium.
 * It prints one line through the firmware's console and on the first serial port, then halts.
 * Freestanding: the few firmware records it needs are declared here, as the UEFI tables lay
 * them out. */
typedef unsigned long long u64;
typedef unsigned int u32;
typedef unsigned short char16;
typedef u64 efi_status;

struct text_output {
  void* reset;
  efi_status (*output_string)(struct text_output* self, const char16* text);
};

struct table_header {
  u64 signature;
  u32 revision, header_size, crc32, reserved;
};

struct system_table {
  struct table_header header;
  char16* firmware_vendor;
  u32 firmware_revision;
  void* console_in_handle;
  void* con_in;
  void* console_out_handle;
  struct text_output* con_out;
};

static const char kLine[] = "Quenvar recovery disc";

static void outb(unsigned short port, unsigned char value) {
  __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

static unsigned char inb(unsigned short port) {
  unsigned char value;
  __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

static void serial_text(const char* text) {
  for (const char* c = text; *c; ++c) {
    /* Waits for the transmitter, but not forever: a port without a UART reads 0xFF or 0. */
    for (int spin = 0; spin < 100000 && !(inb(0x3FD) & 0x20); ++spin) {
    }
    outb(0x3F8, (unsigned char)*c);
  }
}

/* COM1 at 115200 baud, 8N1, FIFO on; the firmware may not have claimed it for its console. */
static void serial_line(void) {
  outb(0x3FB, 0x80);
  outb(0x3F8, 0x01);
  outb(0x3F9, 0x00);
  outb(0x3FB, 0x03);
  outb(0x3FA, 0xC7);
  serial_text("\r\n");
  serial_text(kLine);
  serial_text("\r\n");
}

efi_status efi_main(void* image, struct system_table* system) {
  (void)image;
  char16 text[sizeof kLine + 2];
  unsigned i = 0;
  for (; kLine[i]; ++i) text[i] = (char16)kLine[i];
  text[i++] = '\r';
  text[i++] = '\n';
  text[i] = 0;
  if (system && system->con_out) system->con_out->output_string(system->con_out, text);
  serial_line();
  for (;;) __asm__ volatile("hlt");
  return 0;
}
