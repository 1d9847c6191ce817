#include "numerics/sparse_lu/block_triangular.h"

#include <algorithm>

#include "numerics/sparse_lu/one_based.h"

// Arrays are addressed 1-based through these views; list counters hold one
// less than the number of entries still to be scanned, so a list's scan
// resumes at its last position minus the counter and -1 means exhausted.
namespace {

struct Lists {
  const std::int64_t* entries;
  const std::int64_t* start;
  const std::int64_t* count;

  std::int64_t Last(std::int64_t i) const { return start[i - 1] + count[i - 1] - 1; }
  std::int64_t At(std::int64_t pos) const { return entries[pos - 1]; }
};

}  // namespace

void MaximumTransversalArrays(const std::int64_t* N, const std::int64_t* ENTRIES,
                              const std::int64_t*, const std::int64_t* START,
                              const std::int64_t* COUNT, std::int64_t* MATCH, std::int64_t* RANK,
                              std::int64_t* PRED, std::int64_t* LOOK, std::int64_t* MARK,
                              std::int64_t* NEXT) {
  const std::int64_t n = *N;
  if (n < 1) {
    *RANK = 0;
    return;
  }
  const Lists lists{ENTRIES, START, COUNT};
  // 1-based views of the work columns.
  const slu::IntView pred(PRED), look(LOOK), mark(MARK), next(NEXT), match(MATCH);

  for (std::int64_t i = 1; i <= n; ++i) {
    look[i] = COUNT[i - 1] - 1;
    mark[i] = 0;
    match[i] = 0;
  }
  std::int64_t rank = 0;

  for (std::int64_t p = 1; p <= n; ++p) {
    std::int64_t j = p;
    pred[j] = -1;
    bool entered = true;  // j was just reached by a forward step
    for (;;) {
      if (entered) {
        // Look-ahead: a free column among the entries not yet looked at.
        std::int64_t free_column = 0;
        if (look[j] >= 0) {
          const std::int64_t last = lists.Last(j);
          for (std::int64_t pos = last - look[j]; pos <= last; ++pos) {
            const std::int64_t c = lists.At(pos);
            if (match[c] == 0) {
              free_column = c;
              look[j] = last - pos - 1;
              break;
            }
          }
          if (free_column == 0) look[j] = -1;
        }
        if (free_column != 0) {
          // New assignment, then flip the augmenting path back to list p.
          match[free_column] = j;
          ++rank;
          for (std::int64_t k = pred[j]; k != -1; k = pred[k]) {
            const std::int64_t through = lists.At(START[k - 1] + COUNT[k - 1] - next[k] - 2);
            match[through] = k;
          }
          break;
        }
        next[j] = COUNT[j - 1] - 1;
      }
      // Depth-first step: the next column of j not visited in this pass.
      std::int64_t reached = 0;
      if (next[j] >= 0) {
        const std::int64_t last = lists.Last(j);
        for (std::int64_t pos = last - next[j]; pos <= last; ++pos) {
          const std::int64_t c = lists.At(pos);
          if (mark[c] != p) {
            mark[c] = p;
            next[j] = last - pos - 1;
            reached = c;
            break;
          }
        }
        if (reached == 0) next[j] = -1;
      }
      if (reached != 0) {
        // Every visited column is matched: the look-ahead took the free ones.
        const std::int64_t holder = match[reached];
        pred[holder] = j;
        j = holder;
        entered = true;
        continue;
      }
      // Backtrack; the pass fails when it returns past list p.
      j = pred[j];
      if (j == -1) break;
      entered = false;
    }
  }

  *RANK = rank;
  if (rank == n) return;

  // Complete MATCH: the k-th unmatched list takes the k-th free position.
  for (std::int64_t i = 1; i <= n; ++i) look[i] = 0;
  std::int64_t free_count = 0;
  for (std::int64_t i = 1; i <= n; ++i) {
    if (match[i] == 0) {
      next[++free_count] = i;
    } else {
      look[match[i]] = i;
    }
  }
  free_count = 0;
  for (std::int64_t i = 1; i <= n; ++i) {
    if (look[i] == 0) match[next[++free_count]] = i;
  }
}

void MaximumTransversal(const std::int64_t* N, const std::int64_t* ENTRIES,
                        const std::int64_t* LENTRIES, const std::int64_t* START,
                        const std::int64_t* COUNT, std::int64_t* MATCH, std::int64_t* RANK,
                        std::int64_t* WORK) {
  const std::int64_t n = std::max<std::int64_t>(*N, 0);
  MaximumTransversalArrays(N, ENTRIES, LENTRIES, START, COUNT, MATCH, RANK, WORK, WORK + n,
                           WORK + 2 * n, WORK + 3 * n);
}

void BlockTriangularOrderArrays(const std::int64_t* N, const std::int64_t* ENTRIES,
                                const std::int64_t*, const std::int64_t* START,
                                const std::int64_t* COUNT, std::int64_t* ORDER,
                                std::int64_t* BLOCKSTART, std::int64_t* NUMBLOCKS,
                                std::int64_t* LOWLINK, std::int64_t* NUMBER,
                                std::int64_t* PREVNODE) {
  const std::int64_t n = *N;
  if (n < 1) {
    *NUMBLOCKS = 0;
    return;
  }
  const Lists lists{ENTRIES, START, COUNT};
  const slu::IntView low(LOWLINK), prev(PREVNODE);
  const slu::IntView number(NUMBER);     // 0 unreached, stack position, then final position
  const slu::IntView scan(ORDER);        // scan counter per node until the end
  const slu::IntView block(BLOCKSTART);  // block starts from below, stack from the top

  for (std::int64_t j = 1; j <= n; ++j) {
    number[j] = 0;
    scan[j] = COUNT[j - 1] - 1;
  }
  std::int64_t placed = 0;
  std::int64_t blocks = 0;

  for (std::int64_t s = 1; s <= n && placed < n; ++s) {
    if (number[s] != 0) continue;
    std::int64_t v = s;
    std::int64_t h = 1;
    low[v] = 1;
    number[v] = 1;
    block[n] = v;
    for (std::int64_t pass = 1; pass <= 2 * n - 1; ++pass) {
      std::int64_t pushed = 0;
      if (scan[v] >= 0) {
        const std::int64_t last = lists.Last(v);
        for (std::int64_t pos = last - scan[v]; pos <= last; ++pos) {
          const std::int64_t w = lists.At(pos);
          if (number[w] == 0) {
            scan[v] = last - pos - 1;
            pushed = w;
            break;
          }
          low[v] = std::min(low[v], low[w]);
        }
        if (pushed == 0) scan[v] = -1;
      }
      if (pushed != 0) {
        prev[pushed] = v;
        v = pushed;
        ++h;
        low[v] = h;
        number[v] = h;
        block[n + 1 - h] = v;
        continue;
      }
      if (low[v] >= number[v]) {
        // v is the root of a block: pop the stack down to v.
        ++blocks;
        const std::int64_t first = placed + 1;
        for (;;) {
          const std::int64_t w = block[n + 1 - h];
          --h;
          low[w] = n + 1;  // placed nodes never lower a low-link again
          number[w] = ++placed;
          if (w == v) break;
        }
        block[blocks] = first;
        if (h == 0) break;
      }
      const std::int64_t w = v;
      v = prev[v];
      low[v] = std::min(low[v], low[w]);
    }
  }

  *NUMBLOCKS = blocks;
  for (std::int64_t i = 1; i <= n; ++i) ORDER[number[i] - 1] = i;
}

void BlockTriangularOrder(const std::int64_t* N, const std::int64_t* ENTRIES,
                          const std::int64_t* LENTRIES, const std::int64_t* START,
                          const std::int64_t* COUNT, std::int64_t* ORDER, std::int64_t* BLOCKSTART,
                          std::int64_t* NUMBLOCKS, std::int64_t* WORK) {
  const std::int64_t n = std::max<std::int64_t>(*N, 0);
  BlockTriangularOrderArrays(N, ENTRIES, LENTRIES, START, COUNT, ORDER, BLOCKSTART, NUMBLOCKS, WORK,
                             WORK + n, WORK + 2 * n);
}
