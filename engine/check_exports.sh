#!/bin/sh
# Fails when the engine library exports a symbol outside its C families.
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(MST|DRV|PRG|CPY|AUD|UTL)_' | grep -v -E '^(_init|_fini|QUILLDEN_.*)$' | grep -v '@' )
if [ -n "$bad" ]; then
  echo "unexpected exports:"; echo "$bad"; exit 1
fi
count=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -c -E '^(MST|DRV|PRG|CPY|AUD|UTL)_')
echo "$count exported functions, all in the C families"
