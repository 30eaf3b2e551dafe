# The sample recovery disc's boot program: a no-emulation El Torito image of 2048 bytes (loaded
# as 4 virtual sectors). It prints one line on the screen and on the first serial port, then halts.
# Real mode; it may be entered at 07C0:0000 or 0000:7C00, so it finds its own address first.
        .code16
        .section .text
        .globl _start
_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $0x7000, %sp
        sti
        call    here
here:   popw    %si                     # IP of "here" in the current code segment
        subw    $(here - message), %si  # IP of the message
        pushw   %cs
        popw    %ds

        # COM1: 115200 baud, 8N1, FIFO on.
        movw    $0x3FB, %dx
        movb    $0x80, %al
        outb    %al, %dx
        movw    $0x3F8, %dx
        movb    $0x01, %al
        outb    %al, %dx
        movw    $0x3F9, %dx
        xorb    %al, %al
        outb    %al, %dx
        movw    $0x3FB, %dx
        movb    $0x03, %al
        outb    %al, %dx
        movw    $0x3FA, %dx
        movb    $0xC7, %al
        outb    %al, %dx
        movw    $0x3FC, %dx
        movb    $0x0B, %al
        outb    %al, %dx

next:   lodsb
        testb   %al, %al
        jz      done
        movb    %al, %bl
        movw    $0x3FD, %dx             # wait until the transmitter holds nothing
wait:   inb     %dx, %al
        testb   $0x20, %al
        jz      wait
        movw    $0x3F8, %dx
        movb    %bl, %al
        outb    %al, %dx
        movb    $0x0E, %ah              # and the same character on the screen
        movb    %bl, %al
        movw    $0x0007, %bx
        int     $0x10
        jmp     next

done:   cli
halt:   hlt
        jmp     halt

message:
        .asciz  "Quenvar recovery disc\r\n"

        .org    2046
        .byte   0x55, 0xAA
