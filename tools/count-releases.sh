#!/usr/bin/env bash
# Hand-written releases in the system's code (not tests), outside the owners header, and owner/lock classes.
#   bash tools/count-releases.sh [COMMIT]   (default: the working tree)
cd "$(dirname "$0")/.."
rev=${1:-}
files() { if [ -n "$rev" ]; then git ls-tree -r --name-only "$rev" -- classlib support Network Biz com engine; else git ls-files classlib support Network Biz com engine; fi; }
show() { if [ -n "$rev" ]; then git show "$rev:$1"; else cat "$1"; fi; }
pat='CloseHandle\(|closesocket\(|UnmapViewOfFile\(|RegCloseKey\(|WSACleanup\(|RevokeDragDrop\(|KillTimer\(|FindClose\(|SysFreeString\(|VariantClear\(|SafeArrayUnaccessData\(|->Release\(\)|CoUninitialize\(|RevokeInterfaceFromGlobal\(|ReleaseSRWLockExclusive\(|LeaveCriticalSection\(|->Unlock\(\)'
total=0
for f in $(files | grep -E '\.(cpp|h|c)$' | grep -vE '^classlib/(Owners|ComOwners|OleOwners)\.(h|cpp)$'); do
  n=$(show "$f" | grep -cE "$pat")
  [ "$n" -gt 0 ] && printf '%4d %s\n' "$n" "$f"
  total=$((total + n))
done
echo "hand releases outside the owners header: $total"
# Owner and lock classes: classes whose destructor (within its first lines) gives something back.
echo "owner/lock classes (destructors that give something back):"
for f in $(files | grep -E '\.(cpp|h)$'); do
  show "$f" | awk -v f="$f" '
    match($0, /~[A-Za-z_][A-Za-z0-9_]*\(\)/) { name = substr($0, RSTART + 1, RLENGTH - 3); left = 4 }
    /(struct|class) [A-Za-z_]*(Closer|Freer|Deleter) / { n = $2; print "  " f ": " n }
    left > 0 { if ($0 ~ /Release|Close|Free|Clear|Unlock|Leave|Revoke|Unaccess|Destroy|EndPaint|Cleanup|Uninitialize|Unmap|Kill|Delete|RegOverride|Reset\(\)|Term\(\)|Empty\(\)/) { print "  " f ": " name; left = 0 } else left-- }'
done | sort -u | tee /tmp/h20-owner-classes.$$ 
echo "owner/lock classes: $(wc -l < /tmp/h20-owner-classes.$$) in $(cut -d: -f1 /tmp/h20-owner-classes.$$ | sort -u | wc -l) files"; rm -f /tmp/h20-owner-classes.$$
