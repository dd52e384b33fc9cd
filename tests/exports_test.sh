#!/usr/bin/env bash
# The host exports hidapi's 18 public functions, and no other function of the
# HID library; a Windows host (.exe) exports them with ordinals 1 to 18 in
# alphabetical order. Usage: exports_test.sh HOST...
set -euo pipefail
expected="hid_close hid_enumerate hid_error hid_exit hid_free_enumeration hid_get_feature_report
hid_get_indexed_string hid_get_manufacturer_string hid_get_product_string hid_get_serial_number_string
hid_init hid_open hid_open_path hid_read hid_read_timeout hid_send_feature_report hid_set_nonblocking hid_write"
expected=$(tr ' ' '\n' <<<"$expected" | sort)

# "ORDINAL NAME" for every name in a Windows executable's export table.
windows_exports() {
    x86_64-w64-mingw32-objdump -p "$1" | awk '
        /^Ordinal Base/ { base = $3 }
        /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
        table && /^$/ { table = 0 }
        table { gsub(/[][]/, " "); print $1 + base, $2 }'
}

status=0
for host in "$@"; do
    case "$host" in
    *.exe)
        exported=$(windows_exports "$host")
        wanted=$(awk '{print NR, $0}' <<<"$expected")
        what="the 18 hidapi functions with ordinals 1 to 18"
        ;;
    *)
        exported=$(nm -D --defined-only "$host" | awk '$3 ~ /^hid_/ {print $3}' | sort)
        wanted=$expected
        what="the 18 hidapi functions"
        ;;
    esac
    if [ "$exported" != "$wanted" ]; then
        echo "FAIL: $host does not export $what:"
        diff <(echo "$wanted") <(echo "$exported") || true
        status=1
    else
        echo "ok: $host exports $what"
    fi
done
exit $status
