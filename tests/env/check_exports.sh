#!/bin/sh
# The environment library exports only its own interface: no DPDK symbol may leak into the processes that load it.
set -u
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}')
if [ -z "$syms" ]; then
	echo "FAIL: $lib exports nothing"
	exit 1
fi
bad=$(printf '%s\n' "$syms" | grep -vE '^(spdk_|kyt_env_|kyt_swdev_)' || true)
if [ -n "$bad" ]; then
	echo "FAIL: unexpected exports:"
	printf '%s\n' "$bad"
	exit 1
fi
for want in spdk_env_init spdk_vtophys spdk_pci_device_attach spdk_log kyt_swdev_register kyt_env_iova_to_vaddr; do
	printf '%s\n' "$syms" | grep -qx "$want" || { echo "FAIL: $want is not exported"; exit 1; }
done
if readelf -d "$lib" | grep -q 'librte_'; then
	echo "FAIL: $lib depends on a shared DPDK library"
	exit 1
fi
echo "PASS: $(printf '%s\n' "$syms" | wc -l) symbols, all of the library's own interface"
