#!/bin/sh
# qemu for the tests' libguestfs appliances (LIBGUESTFS_HV).
#
# Emulated, with the CPU libguestfs asks for then (`-cpu max`, with
# options), the 32-bit Wine appliance's kernel oopses on its way back to
# 32-bit code (iret); with qemu64 it does not. Under KVM, every CPU model
# runs it.
#
# With BRINDLE_QEMU_KVM_STALLS=1 it plays a host whose KVM takes the guest
# in and never runs it: an appliance started under KVM gets a qemu whose
# CPU never starts (-S), on any host; an emulated one runs as asked.
case " $* " in
  *accel=tcg*) emulated=1 ;;
esac
stalls=
case ${BRINDLE_QEMU_KVM_STALLS:-}:${emulated:-}:" $* " in
  1::*" -kernel "*) stalls=1 ;;
esac
for argument; do
  shift
  case ${emulated:-}:${previous:-}:$argument in 1:-cpu:max*) argument=qemu64 ;; esac
  case $stalls:$argument in 1:accel=kvm*) argument=accel=tcg${argument#accel=kvm:tcg} ;; esac
  previous=$argument
  set -- "$@" "$argument"
done
[ -n "$stalls" ] && set -- "$@" -S
exec qemu-system-x86_64 "$@"
