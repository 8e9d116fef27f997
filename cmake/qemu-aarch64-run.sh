#!/usr/bin/env bash
# Runs a 64-bit ARM Linux program under qemu-aarch64, its shared libraries
# from the cross toolchain's folder.
exec qemu-aarch64 -L /usr/aarch64-linux-gnu "$@"
