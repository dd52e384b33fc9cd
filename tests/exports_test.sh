#!/usr/bin/env bash
# The host exports hidapi's 18 public functions, and no other function of the
# HID library: usage: exports_test.sh HOST...
set -euo pipefail
expected="hid_close hid_enumerate hid_error hid_exit hid_free_enumeration hid_get_feature_report
hid_get_indexed_string hid_get_manufacturer_string hid_get_product_string hid_get_serial_number_string
hid_init hid_open hid_open_path hid_read hid_read_timeout hid_send_feature_report hid_set_nonblocking hid_write"
expected=$(tr ' ' '\n' <<<"$expected" | sort)
status=0
for host in "$@"; do
    exported=$(nm -D --defined-only "$host" | awk '$3 ~ /^hid_/ {print $3}' | sort)
    if [ "$exported" != "$expected" ]; then
        echo "FAIL: $host exports a different set of hid_ functions:"
        diff <(echo "$expected") <(echo "$exported") || true
        status=1
    else
        echo "ok: $host exports the 18 hidapi functions"
    fi
done
exit $status
