#!/bin/sh
# qemu for the appliance that runs 32-bit Wine. Emulated, with the CPU
# libguestfs asks for then (`-cpu max`, with options), the appliance's
# kernel oopses on its way back to 32-bit code (iret); with qemu64 it does
# not. Under KVM, every CPU model runs it.
case " $* " in
  *accel=tcg*) emulated=1 ;;
esac
for argument; do
  shift
  case ${emulated:-}:${previous:-}:$argument in 1:-cpu:max*) argument=qemu64 ;; esac
  previous=$argument
  set -- "$@" "$argument"
done
exec qemu-system-x86_64 "$@"
