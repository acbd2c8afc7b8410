#!/bin/sh
# Reads the #include "..." lines of src/, prints which folder includes which,
# and checks the layering:
#   platform  <  net, log, config  <  relay  <  host
# A folder may include its own files and those of the folders below it. The
# check fails, naming the include, on an include of a folder above, on an
# include between net, log and config, on a folder that is not in the order,
# and on a circle of file includes.
#   scripts/include_graph.sh [source-dir]   default: src
set -eu
cd "$(dirname "$0")/.."
src=${1:-src}
[ -d "$src" ] || { echo "include_graph: no directory $src" >&2; exit 2; }

# Each folder with its place in the order.
ranks="platform=0 net=1 log=1 config=1 relay=2 host=3"

# One line per include of a file in the source tree:
#   including-file line included-file including-folder included-folder
#   name-as-written
# An include is looked for beside the including file first, then from the
# top of the tree; one found in neither (the public header) is left out.
edges=$(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) | LC_ALL=C sort |
  xargs grep -n -H '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
  awk -v src="$src" '
    function exists(path,   line, result) {
      result = (getline line < path) >= 0
      close(path)
      return result
    }
    function folder(path,   rest) {
      rest = substr(path, length(src) + 2)
      return index(rest, "/") ? substr(rest, 1, index(rest, "/") - 1) : "."
    }
    {
      file = $0; sub(/:.*/, "", file)
      rest = substr($0, length(file) + 2)
      line = rest; sub(/:.*/, "", line)
      name = rest; sub(/^[^"]*"/, "", name); sub(/".*/, "", name)
      dir = file; sub(/\/[^\/]*$/, "", dir)
      if (exists(dir "/" name)) target = dir "/" name
      else if (exists(src "/" name)) target = src "/" name
      else next
      while (sub(/\/\.\//, "/", target)) {}
      while (sub(/\/[^\/]+\/\.\.\//, "/", target)) {}
      print file, line, target, folder(file), folder(target), name
    }')

# The folder graph, in the order of the layers.
printf '%s\n' "$edges" | awk -v ranks="$ranks" '
  BEGIN {
    n = split(ranks, pairs, " ")
    for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); order[i] = kv[1] }
  }
  NF == 6 && $4 != $5 { seen[$4] = 1; if (!(($4, $5) in dep)) { dep[$4, $5] = 1; deps[$4] = deps[$4] " " $5 } }
  NF == 6 { seen[$4] = 1 }
  END {
    for (i = 1; i <= n; i++) {
      f = order[i]
      if (f in seen) print f " ->" sorted(deps[f])
      delete seen[f]
    }
    for (f in seen) print f " ->" sorted(deps[f])
  }
  function sorted(list,   items, count, i, j, t, out) {
    count = split(list, items, " ")
    for (i = 2; i <= count; i++)
      for (j = i; j > 1 && items[j - 1] > items[j]; j--) { t = items[j]; items[j] = items[j - 1]; items[j - 1] = t }
    out = ""
    for (i = 1; i <= count; i++) out = out " " items[i]
    return out
  }'

# Includes against the order, then circles of file includes.
printf '%s\n' "$edges" | awk -v ranks="$ranks" '
  BEGIN {
    n = split(ranks, pairs, " ")
    for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); rank[kv[1]] = kv[2] }
    bad = 0
  }
  NF != 6 { next }
  {
    from = $4; to = $5; where = $1 ":" $2 ": includes \"" $6 "\""
    if (!(from in rank)) {
      if (!(from in unknown)) print "include_graph: folder " from " has no place in the order (" $1 ")"
      unknown[from] = 1; bad = 1
    } else if (from != to && !(to in rank)) {
      print where ": folder " to " has no place in the order"; bad = 1
    } else if (from != to && rank[to] > rank[from]) {
      print where ": " from " may not include " to ", which lies above it"; bad = 1
    } else if (from != to && rank[to] == rank[from]) {
      print where ": " from " and " to " lie side by side and may not include each other"; bad = 1
    }
    if (!(($1, $3) in edge)) { edge[$1, $3] = $1 ":" $2; adj[$1, ++nadj[$1]] = $3 }
    nodes[$1] = 1; nodes[$3] = 1
  }
  END {
    for (node in nodes) if (!color[node]) visit(node)
    exit bad
  }
  # Depth-first walk with an explicit stack; an include of a file that is
  # still on the stack closes a circle.
  function visit(start,   sp, top, next_file, k, path) {
    sp = 1; stack[1] = start; pos[1] = 0; color[start] = 1
    while (sp > 0) {
      top = stack[sp]
      if (pos[sp] < nadj[top]) {
        next_file = adj[top, ++pos[sp]]
        if (color[next_file] == 1) {
          for (k = sp; stack[k] != next_file; k--) {}
          path = stack[k]
          for (k++; k <= sp; k++) path = path " -> " stack[k]
          print edge[top, next_file] ": closes the include circle " path " -> " next_file
          bad = 1
        } else if (!color[next_file]) {
          stack[++sp] = next_file; pos[sp] = 0; color[next_file] = 1
        }
      } else {
        color[top] = 2; sp--
      }
    }
  }' || { echo "include_graph: the layering of $src/ is broken" >&2; exit 1; }
echo "include_graph: no include goes up or sideways, and no circle"
