# The boot program of a FAT32 volume: the code area of its boot sector (bytes 0x5A to 0x1FD), the
# rest of which is the formatter's (the jump at 0, the BIOS parameter block, the 0x55AA). The
# master boot record loads the sector to 0000:7C00 and enters it with DL = the drive.
#
# It moves itself to 0000:0600, walks the root folder's cluster chain through the FAT, finds the
# loader by the 8.3 name stored at byte 0x1F3, loads the whole file to 0000:7C00 (one sector a
# read, INT 13h extended reads at the partition's hidden-sectors offset) and enters it as a
# firmware enters an El Torito no-emulation image: at 0000:7C00 with DL = the drive. Failures
# print one line on the screen and on COM1 and halt.
#
# Offsets in segment 0060 equal offsets in this file, so the parameter block is read in place.
        .code16
        .section .text
        .globl _start
_start:
        jmp     boot                    # the formatter's jump is kept; it lands on boot too
        nop

        .org    0x0B
bytes_per_sector:       .word 512
sectors_per_cluster:    .byte 1
reserved_sectors:       .word 32
fat_count:              .byte 2
        .org    0x1C
hidden_sectors:         .long 0
        .org    0x24
fat_size:               .long 0
ext_flags:              .word 0         # bit 7: only the FAT of bits 0-3 is current
        .org    0x2C
root_cluster:           .long 2
        .org    0x40
drive_number:           .byte 0x80

# Variables in the parts of the parameter block that only the formatter reads (the volume
# label and file system name), changed in memory only. Buffers beyond the sector: a folder sector
# and a FAT sector of up to 4096 bytes each.
        fat_lba         = 0x47          # first sector of the FAT
        data_lba        = 0x4B          # first sector of cluster 2
        folder_buffer   = 0x200
        fat_buffer      = 0x1200

        .org    0x5A
boot:
        cli
        movw    $0x0060, %ax            # the loader is loaded over 7C00: move out of its way
        movw    %ax, %ss
        movw    $0x7600, %sp            # 0060:7600 is 0000:7C00
        movw    %ax, %es
        xorw    %bp, %bp                # the parameter block, in short forms through SS:BP
        movw    %bp, %ds
        sti
        cld
        movw    $0x7C00, %si
        xorw    %di, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0x0060, $relocated
relocated:
        pushw   %cs
        popw    %ds
        movb    %dl, drive_number(%bp)

        movzwl  reserved_sectors(%bp), %eax
        addl    hidden_sectors(%bp), %eax
        movl    %eax, fat_lba(%bp)
        movzbl  fat_count(%bp), %ecx
        imull   fat_size(%bp), %ecx
        addl    %ecx, %eax
        movl    %eax, data_lba(%bp)

        # The root folder, one sector at a time, cluster after cluster.
        movl    root_cluster(%bp), %eax
folder_cluster:
        pushl   %eax
        call    cluster_lba
        jc      missing                 # the folder ended without the loader
        movzbw  sectors_per_cluster(%bp), %cx
folder_sector:
        movw    $folder_buffer, %bx
        call    read_sector
        movw    %bx, %di
folder_entry:
        cmpb    %ch, (%di)              # a zero byte ends the folder
        je      missing
        testb   $0x18, 11(%di)          # folders, the label and long-name parts do not count
        jnz     2f
        pushaw
        movw    $loader_name, %si
        movb    $11, %cl                # CH is 0: a cluster has at most 128 sectors
        repe cmpsb
        popaw
        je      found
2:      addw    $32, %di
        movw    %di, %dx
        subw    %bx, %dx
        cmpw    bytes_per_sector(%bp), %dx
        jb      folder_entry
        incl    %eax
        loop    folder_sector
        popl    %eax
        call    next_cluster
        jmp     folder_cluster

found:  # The loader must fit in the segment from 07C0:0000.
        cmpw    %bp, 30(%di)
        jnz     missing
        movw    28(%di), %si            # bytes left to load
        movw    20(%di), %ax            # the first cluster (an empty file has none)
        shll    $16, %eax
        movw    26(%di), %ax
        movw    $0x07C0, %dx
        movw    %dx, %es
        xorw    %bx, %bx
load_cluster:
        pushl   %eax
        call    cluster_lba
        jc      missing                 # no cluster, or the chain ends before the file does
        movzbw  sectors_per_cluster(%bp), %cx
load_sector:
        call    read_sector
        addw    bytes_per_sector(%bp), %bx
        incl    %eax
        subw    bytes_per_sector(%bp), %si
        jbe     start
        loop    load_sector
        popl    %eax
        call    next_cluster
        jmp     load_cluster
start:  movb    drive_number(%bp), %dl
        ljmp    $0, $0x7C00

# EAX = a cluster -> EAX = its first sector; CF set when EAX is no data cluster (free, bad, the
# end of a chain).
cluster_lba:
        subl    $2, %eax
        cmpl    $0x0FFFFFF5, %eax
        cmc
        jc      3f
        movzbl  sectors_per_cluster(%bp), %edx
        imull   %edx, %eax
        addl    data_lba(%bp), %eax
3:      ret

# EAX = a cluster -> EAX = the next cluster of its chain.
next_cluster:
        pushw   %es
        pushw   %ds
        popw    %es
        pushw   %si
        pushw   %bx
        shll    $2, %eax
        xorl    %edx, %edx
        movzwl  bytes_per_sector(%bp), %ecx
        divl    %ecx
        addl    fat_lba(%bp), %eax
        movw    $fat_buffer, %bx
        call    read_sector
        movw    %dx, %si
        movl    fat_buffer(%si), %eax
        andl    $0x0FFFFFFF, %eax
        popw    %bx
        popw    %si
        popw    %es
        ret

# Reads sector EAX (counted from the start of the disk) to ES:BX through a disk address packet
# built on the stack.
read_sector:
        pushal
        pushw   %bp                     # BP is 0: the upper half of the sector number
        pushw   %bp
        pushl   %eax
        pushw   %es
        pushw   %bx
        pushw   $1
        pushw   $0x10
        movw    %sp, %si
        movb    drive_number(%bp), %dl
        movb    $0x42, %ah
        int     $0x13
        jc      read_error
        popaw                           # the packet
        popal
        ret

missing:
        movw    $msg_missing, %si
        jmp     print
read_error:
        movw    $msg_read_error, %si
print:  lodsb                           # the reason, on the screen and on COM1
        testb   %al, %al
        jz      halt
        movb    $0x01, %ah              # AL stays the character
        xorw    %dx, %dx
        int     $0x14
        movb    $0x0E, %ah
        xorw    %bx, %bx
        int     $0x10
        jmp     print
halt:   hlt
        jmp     halt

msg_missing:    .asciz "Not a bootable medium: no loader"
msg_read_error: .asciz "Disk read error"

        .org    0x1F3
loader_name:    .ascii "QVBOOT  BIN"    # the installer writes the loader's name here
        .org    0x1FE
        .byte   0x55, 0xAA
