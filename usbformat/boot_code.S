# Master boot record program of freshly formatted USB media (the first 446 bytes of sector 0).
# Linked at 0x0600: it moves itself there, looks for the one active entry of the partition table,
# loads that partition's first sector to 0x7C00 (LBA extensions when the firmware has them, else
# CHS), and jumps to it. Failures print one of three messages and halt.
# Regenerate the bytes of boot_code.cc with:
#   as --32 -o b.o boot_code.S && ld -m elf_i386 -Ttext 0x600 --oformat binary -o b.bin b.o
        .code16
        .text
        .globl _start
_start:
        cli
        xorw %ax, %ax
        movw %ax, %ss
        movw $0x7c00, %sp
        movw %ax, %ds
        movw %ax, %es
        sti
        cld
        movw $0x7c00, %si
        movw $0x0600, %di
        movw $256, %cx
        rep movsw
        ljmp $0, $relocated
relocated:
        movw $0x07be, %si
        movw $4, %cx
scan:
        cmpb $0x80, (%si)
        je found
        cmpb $0, (%si)
        jne invalid
        addw $16, %si
        loop scan
        int $0x18
found:
        movw %si, %bp
rest:
        addw $16, %si
        decw %cx
        jz load
        cmpb $0, (%si)
        je rest
        jmp invalid
load:
        movw $5, %di
try:
        movb $0x41, %ah
        movw $0x55aa, %bx
        int $0x13
        jc chs
        cmpw $0xaa55, %bx
        jne chs
        testb $1, %cl
        jz chs
        movl 8(%bp), %eax
        movl %eax, dap_lba
        movw $dap, %si
        movb $0x42, %ah
        int $0x13
        jnc loaded
        jmp retry
chs:
        movb 1(%bp), %dh
        movw 2(%bp), %cx
        movw $0x7c00, %bx
        movw $0x0201, %ax
        int $0x13
        jnc loaded
retry:
        xorb %ah, %ah
        int $0x13
        decw %di
        jnz try
        movw $msg_error, %si
        jmp print
loaded:
        cmpw $0xaa55, 0x7dfe
        jne missing
        movw %bp, %si
        ljmp $0, $0x7c00
invalid:
        movw $msg_invalid, %si
        jmp print
missing:
        movw $msg_missing, %si
print:
        lodsb
        testb %al, %al
        jz halt
        movb $0x0e, %ah
        movw $7, %bx
        int $0x10
        jmp print
halt:
        hlt
        jmp halt
dap:
        .byte 0x10, 0
        .word 1
        .word 0x7c00, 0
dap_lba:
        .long 0, 0
msg_invalid:
        .asciz "Invalid partition table"
msg_error:
        .asciz "Error loading operating system"
msg_missing:
        .asciz "Missing operating system"
