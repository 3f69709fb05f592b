# Sourced by the release scripts: reads packaging/variants.tsv, the table of release variants.
variants_table=$(dirname "${BASH_SOURCE[0]}")/variants.tsv

# The names of the variants whose names match the pattern $1 (an awk regular expression).
variant_names() { awk -F'\t' -v pattern="$1" '!/^#/ && $1 ~ pattern {print $1}' "$variants_table"; }

# Sets the columns of variant $1's row as shell variables named after them.
load_variant() {
    IFS=$'\t' read -r variant cpu toolkit build_root nvcc_flags architectures driver_floor \
        ptx_driver_floor glibc_floor packages < <(awk -F'\t' -v name="$1" '$1 == name' "$variants_table") ||
        true
    [ "${variant:-}" = "$1" ] || { echo "no variant $1 in $variants_table" >&2; return 1; }
}
