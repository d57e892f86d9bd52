/*
 * uint32_t pcx_probe_stdcall(const void* fn, const uint32_t* args, uint32_t count);
 *
 * Calls fn with count 32-bit arguments (args[0] is the first argument, so it
 * is pushed last) and returns how many bytes of arguments fn removed from the
 * stack before it returned: 4 * count for the Windows standard calling
 * convention, 0 for a caller-cleans convention. The stack pointer is read
 * before the arguments are pushed and after the call returns, and restored
 * from the frame afterwards, so a mismatch is measured rather than hidden
 * the way a typed call through a function pointer would hide it.
 *
 * The stack is 16-byte aligned at the call, as GCC-compiled callees assume.
 */
    .intel_syntax noprefix
    .text
    .globl _pcx_probe_stdcall
_pcx_probe_stdcall:
    push ebp
    mov ebp, esp
    push ebx
    push esi
    push edi
    mov esi, [ebp + 12]
    mov ecx, [ebp + 16]
    lea eax, [ecx * 4]
    mov ebx, esp
    sub ebx, eax
    and ebx, -16
    add ebx, eax
    mov esp, ebx
    mov edi, esp            /* stack pointer before the arguments */
1:
    test ecx, ecx
    jz 2f
    dec ecx
    push dword ptr [esi + ecx * 4]
    jmp 1b
2:
    call dword ptr [ebp + 8]
    mov eax, esp
    sub eax, edi            /* minus the bytes still on the stack */
    mov ecx, [ebp + 16]
    lea eax, [eax + ecx * 4]
    lea esp, [ebp - 12]
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret
