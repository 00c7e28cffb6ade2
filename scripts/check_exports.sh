#!/usr/bin/env bash
# Checks what a shared library exports against the names its callers bind.
#
#   check_exports.sh LIBRARY [--data NAME:SIZE]... [--needs PATH]... [--unrelated-to TEXT]...
#                    [--version-script MAP]... [--] FUNCTION...
#
# Every FUNCTION, and every name of the global: section of a linker version script MAP,
# must be a defined function (nm type T or W) and every --data NAME an
# initialised data symbol (type D) of SIZE bytes; nothing else may be exported, apart from
# what the linker and the sanitizer runtimes add. --needs: the dynamic section holds a
# NEEDED entry that is exactly PATH. --unrelated-to: no entry of the dynamic section
# mentions TEXT. Prints one line per difference and exits 1 if there is any, 0 if none,
# 2 when it is called wrongly.
set -uo pipefail

usage() {
  echo "usage: check_exports.sh LIBRARY [--data NAME:SIZE]... [--needs PATH]..." \
       "[--unrelated-to TEXT]... [--version-script MAP]... [--] FUNCTION..." >&2
  exit 2
}

# The names of the global: section of a linker version script, one per line (comments
# /* ... */ dropped, the local: section ignored).
version_script_names() {
  tr '\n' ' ' <"$1" | sed -E 's:/\*([^*]|\*+[^*/])*\*+/: :g; s/.*global:(.*)local:.*/\1/' |
    tr ';' '\n' | tr -d ' \t' | grep -v '^$'
}

(($# >= 1)) || usage
library=$1
shift
functions=()
declare -A data_size=()
needed=()
unrelated=()
while (($#)); do
  case $1 in
    --data)
      (($# >= 2)) && [[ $2 =~ ^[^:]+:[0-9]+$ ]] || usage
      data_size[${2%%:*}]=${2#*:}
      shift 2 ;;
    --needs)
      (($# >= 2)) || usage
      needed+=("$2")
      shift 2 ;;
    --unrelated-to)
      (($# >= 2)) || usage
      unrelated+=("$2")
      shift 2 ;;
    --version-script)
      (($# >= 2)) && [[ -r $2 ]] || usage
      mapfile -t -O "${#functions[@]}" functions < <(version_script_names "$2")
      shift 2 ;;
    --) shift; functions+=("$@"); break ;;
    -*) usage ;;
    *) functions+=("$1"); shift ;;
  esac
done
((${#functions[@]} + ${#data_size[@]} > 0)) || usage

failures=0
fail() {
  echo "$library: $*"
  failures=$((failures + 1))
}

# Names that every shared object of the build may carry besides its own.
is_toolchain_symbol() {
  case $1 in
    _init | _fini | _edata | _end | __bss_start) return 0 ;;
    __asan* | __odr_asan* | __tsan* | __ubsan* | __sanitizer* | __lsan*) return 0 ;;
  esac
  return 1
}

if ! symbols=$(nm -D --defined-only -S "$library" 2>&1); then
  echo "$library: nm failed: $symbols"
  exit 1
fi

# nm prints "address [size] type name"; a version suffix (name@VERSION) is not part of it.
declare -A type_of=() size_of=()
while read -r -a fields; do
  case ${#fields[@]} in
    4) size=${fields[1]} type=${fields[2]} name=${fields[3]} ;;
    3) size="" type=${fields[1]} name=${fields[2]} ;;
    *) continue ;;
  esac
  name=${name%%@*}
  type_of[$name]=$type
  size_of[$name]=$size
done <<<"$symbols"

declare -A expected=()
for name in "${functions[@]}"; do
  expected[$name]=1
  if [[ -z ${type_of[$name]+set} ]]; then
    fail "not exported: $name"
  elif [[ ${type_of[$name]} != [TW] ]]; then
    fail "$name is not a function (nm type ${type_of[$name]})"
  fi
done
for name in "${!data_size[@]}"; do
  expected[$name]=1
  want=${data_size[$name]}
  if [[ -z ${type_of[$name]+set} ]]; then
    fail "not exported: $name"
  elif [[ ${type_of[$name]} != D || -z ${size_of[$name]} ]] ||
       ((16#${size_of[$name]} != want)); then
    fail "$name is not a $want-byte initialised data symbol" \
         "(nm type ${type_of[$name]}, size ${size_of[$name]:-none})"
  fi
done
for name in "${!type_of[@]}"; do
  [[ -n ${expected[$name]+set} ]] || is_toolchain_symbol "$name" ||
    fail "exported beyond the interface: $name"
done

if ((${#needed[@]} + ${#unrelated[@]} > 0)); then
  if ! dynamic=$(readelf -d "$library" 2>&1); then
    echo "$library: readelf failed: $dynamic"
    exit 1
  fi
  needs=$(sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]$/\1/p' <<<"$dynamic")
  for path in "${needed[@]}"; do
    grep -qxF -- "$path" <<<"$needs" ||
      fail "no NEEDED entry for $path; it needs:" $needs
  done
  for text in "${unrelated[@]}"; do
    while read -r entry; do
      fail "the dynamic section mentions $text: $entry"
    done < <(grep -F -- "$text" <<<"$dynamic")
  done
fi

((failures == 0)) || exit 1
echo "$library: exports as expected (${#expected[@]} names)"
