# The master boot record of a hybrid image: a disc image written raw to a USB stick or a hard
# disk boots through the BIOS with it. It loads the El Torito no-emulation BIOS boot image from
# the image by LBA (INT 13h extended reads) and enters it as El Torito firmware would: at the
# load segment (0000:7C00 for the default), DL = the drive. The image writer fills the parameter
# block at byte 428, the disk signature and the partition table; everything else is this code.
        .code16
        .section .text
        .globl _start
_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $0x7C00, %sp
        movw    %ax, %ds
        movw    $0x0060, %ax            # the boot image is loaded over 7C00: move out of its way
        movw    %ax, %es
        sti
        cld
        movw    $0x7C00, %si
        xorw    %di, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0x0060, $relocated     # offsets in segment 0060 equal offsets in this file
relocated:
        pushw   %cs
        popw    %ds
        movb    %dl, drive
        movw    $no_image, %si
        cmpw    $0, load_count
        je      fail
        movw    $no_lba, %si
        movb    $0x41, %ah
        movw    $0x55AA, %bx
        int     $0x13
        jc      fail
        cmpw    $0xAA55, %bx
        jne     fail
        testb   $1, %cl                 # the packet interface (AH=42h) is there
        jz      fail
        movw    load_count, %cx
        movw    load_segment, %ax
        movw    %ax, dap_segment
        movl    load_lba, %eax
        movl    %eax, dap_lba
read:   jcxz    loaded
        movw    $64, %bx                # 32 KiB a read: every BIOS takes that much
        cmpw    %bx, %cx
        jae     1f
        movw    %cx, %bx
1:      movw    %bx, dap_count
        pushw   %bx
        pushw   %cx
        movw    $dap, %si
        movb    drive, %dl
        movb    $0x42, %ah
        int     $0x13
        popw    %cx
        popw    %bx
        movw    $read_error, %si
        jc      fail
        subw    %bx, %cx
        movzwl  %bx, %eax
        addl    %eax, dap_lba
        shlw    $5, %bx                 # 512-byte sectors in paragraphs
        addw    %bx, dap_segment
        jmp     read
loaded: movb    drive, %dl
        xorw    %ax, %ax
        movw    %ax, %es
        ljmp    *%cs:jump_ip            # DS is not used any more: the far pointer is read via CS

fail:   lodsb                           # the reason, on the screen and on COM1
        testb   %al, %al
        jz      halt
        movb    %al, %cl
        movw    $0x3FD, %dx             # a missing port reads FF: no wait then
2:      inb     %dx, %al
        testb   $0x20, %al
        jz      2b
        movw    $0x3F8, %dx
        movb    %cl, %al
        outb    %al, %dx
        movb    $0x0E, %ah
        movw    $0x0007, %bx
        int     $0x10
        jmp     fail
halt:   hlt
        jmp     halt

no_image:   .asciz "No BIOS boot image\r\n"
no_lba:     .asciz "No LBA disk reads\r\n"
read_error: .asciz "Disk read error\r\n"

dap:        .byte   0x10, 0             # INT 13h AH=42h disk address packet
dap_count:  .word   0
            .word   0                   # buffer offset
dap_segment:.word   0
dap_lba:    .long   0, 0
drive:      .byte   0

# Parameter block, filled by the image writer.
        .org    428
load_lba:     .long 0                   # first 512-byte sector of the BIOS boot image
load_count:   .word 0                   # 512-byte sectors to load (the catalog's sector count)
load_segment: .word 0                   # where they go (offset 0)
jump_ip:      .word 0                   # entry point
jump_cs:      .word 0
        .org    510
        .byte   0x55, 0xAA
