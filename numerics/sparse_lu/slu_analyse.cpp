// SluAnalyse: range pass, duplicates, block triangular form, block merging,
// one pivot search per non-triangular diagonal block, the permuted layout
// and the placement map, the storage estimates.
//
// Storage while it runs: A(1..NE), IRN(1..NE) and JCN keep the entries as
// given (JCN(k) becomes 0 for an entry out of range and -k' for a duplicate
// of entry k'). The matrix is first laid out in the block order, before the
// pivot searches reorder inside the blocks, behind the entries at NE+1; the
// searches work behind that layout, their row storage in the second half of
// what is left of IRN. Once the pivot orders are known the layout is moved
// to the front in its final order and each slot it leaves behind records
// where its entry went, which turns the first placement into the map.
#include <algorithm>
#include <cmath>
#include <vector>

#include "numerics/sparse_lu/block_triangular.h"
#include "numerics/sparse_lu/kernel_analyse.h"
#include "numerics/sparse_lu/one_based.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "numerics/sparse_lu/slu_print.h"

using slu::IntView;
using slu::KeepLayout;
using slu::RealView;

namespace {

// Room reported beyond the pivot search's peak need: at exactly the peak the
// search compresses its storage at nearly every step.
std::int64_t WithHeadroom(std::int64_t need) { return need + need / 2; }

class Analyser {
 public:
  Analyser(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
           const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
           std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL, const std::int64_t* ICNTL,
           std::int64_t* IW, std::int64_t* INFO, double* RINFO)
      : m_(*M), n_(*N), ne_(*NE), job_(*JOB), la_(*LA), a_(A), irn_(IRN), jcn_(JCN), keep_(KEEP),
        iw_(IW), info_(INFO), cntl_(CNTL), icntl_(ICNTL), rinfo_(RINFO), layout_(*M, *N) {}

  void Run();

 private:
  bool GivenPermutationsValid();
  void RangePass();
  void SortByColumn();
  void FindDuplicates();
  bool BlockTriangularForm();
  void MergeBlocks(std::int64_t first_blocks);
  void SingleBlock();
  void ChangeableColumnsLast();
  void FirstLayout();
  bool SearchPivots(std::int64_t& calls);
  void SearchBlock(std::int64_t b, std::int64_t k1, std::int64_t call);
  void StorageEstimate(std::int64_t calls);
  void FinalLayout();
  void Warnings();
  void Fail(slu::DriverError error, std::int64_t rank = 0);

  std::int64_t Order(std::int64_t b) const { return keep_[layout_.BlockOrder(b)]; }
  bool Triangular(std::int64_t b) const { return Order(b) < 0; }
  std::int64_t& Diag(std::int64_t j) const { return keep_[layout_.iptrd + j]; }
  std::int64_t& Off(std::int64_t j) const { return keep_[layout_.iptro + j]; }

  const std::int64_t m_, n_, ne_, job_, la_;
  const RealView a_;
  const IntView irn_, jcn_, keep_, iw_, info_;
  const double* cntl_;                             // CNTL(k) is cntl_[k-1]
  const slu::OneBased<const std::int64_t> icntl_;  // ICNTL(1..9)
  double* rinfo_;
  const KeepLayout layout_;

  std::int64_t valid_ = 0;   // entries in range
  std::int64_t nz_ = 0;      // entries of the permuted matrix
  std::int64_t blocks_ = 0;  // NB
  double tolerance_ = 0.0;
};

void Analyser::Fail(slu::DriverError error, std::int64_t rank) {
  slu::ErrorValues v;
  v.m = m_;
  v.n = n_;
  v.ne = ne_;
  v.job = job_;
  v.la = la_;
  v.need = info_[3];
  v.rank = rank;
  info_[1] = slu::ReportError(icntl_.From(1), slu::Driver::kAnalyse, error, v);
}

bool Analyser::GivenPermutationsValid() {
  const std::int64_t mark_length = std::max(m_, n_);
  for (std::int64_t v = 1; v <= mark_length; ++v) iw_[v] = 0;
  for (std::int64_t i = 1; i <= m_; ++i) {
    const std::int64_t v = keep_[i];
    if (v < 1 || v > m_ || iw_[v] == 1) return false;
    iw_[v] = 1;
  }
  for (std::int64_t j = 1; j <= n_; ++j) {
    const std::int64_t v = keep_[m_ + j];
    if (v < 1 || v > n_ || iw_[v] == 2) return false;
    iw_[v] = 2;
  }
  return true;
}

void Analyser::RangePass() {
  for (std::int64_t k = 1; k <= ne_; ++k) {
    const std::int64_t i = irn_[k], j = jcn_[k];
    if (i >= 1 && i <= m_ && j >= 1 && j <= n_) {
      ++valid_;
      continue;
    }
    ++info_[12];
    slu::WarnOutOfRange(icntl_.From(1), info_[12], k, i, j);
    jcn_[k] = 0;
  }
}

// The entry numbers by column into IRN(NE+1..NE+valid); column j's from
// IW(j) to IW(j+1)-1 (relative to NE).
void Analyser::SortByColumn() {
  for (std::int64_t j = 1; j <= n_ + 1; ++j) iw_[j] = 0;
  for (std::int64_t k = 1; k <= ne_; ++k) {
    if (jcn_[k] > 0) ++iw_[jcn_[k] + 1];
  }
  iw_[1] = 1;
  for (std::int64_t j = 1; j <= n_; ++j) iw_[j + 1] += iw_[j];
  for (std::int64_t k = 1; k <= ne_; ++k) {
    if (jcn_[k] > 0) irn_[ne_ + iw_[jcn_[k]]++] = k;
  }
  for (std::int64_t j = n_; j >= 1; --j) iw_[j + 1] = iw_[j];
  iw_[1] = 1;
}

// A later entry with the indices of an earlier one becomes its duplicate:
// JCN(k) = -k'. The row marker holds the last entry seen in each row.
void Analyser::FindDuplicates() {
  const IntView mark(iw_.From(n_ + 2));
  for (std::int64_t i = 1; i <= m_; ++i) mark[i] = 0;
  for (std::int64_t j = 1; j <= n_; ++j) {
    for (std::int64_t s = iw_[j]; s < iw_[j + 1]; ++s) {
      const std::int64_t k = irn_[ne_ + s];
      const std::int64_t i = irn_[k];
      const std::int64_t seen = mark[i];
      if (seen != 0 && jcn_[seen] == j) {
        ++info_[11];
        slu::WarnDuplicate(icntl_.From(1), info_[11], k, i, j);
        jcn_[k] = -seen;
      } else {
        mark[i] = k;
      }
    }
  }
}

// The columns are passed as the lists, so the block lower triangular form of
// the lists is block upper triangular for the matrix by rows: the
// off-diagonal entries of a column lie in rows of earlier blocks.
bool Analyser::BlockTriangularForm() {
  // Lists: the rows of each column without duplicates, in place of the
  // sorted entry numbers. START = IW(1..N), COUNT = IW(N+2..2N+1).
  const IntView start(iw_.From(1)), count(iw_.From(n_ + 2));
  const IntView entries(irn_.From(ne_ + 1));
  std::int64_t w = 0;
  for (std::int64_t j = 1; j <= n_; ++j) {
    const std::int64_t from = iw_[j], to = iw_[j + 1];
    start[j] = w + 1;
    // The entries of largest modulus first: the transversal's look-ahead
    // then takes each column's natural pivot row, where in list order it
    // took rows of other blocks and had to search for augmenting paths
    // across the blocks again and again.
    std::int64_t* first = irn_.From(ne_ + from);
    std::stable_sort(first, first + (to - from), [&](std::int64_t x, std::int64_t y) {
      return std::fabs(a_[x]) > std::fabs(a_[y]);
    });
    for (std::int64_t s = from; s < to; ++s) {
      const std::int64_t k = irn_[ne_ + s];
      if (jcn_[k] > 0) entries[++w] = irn_[k];
    }
    count[j] = w + 1 - start[j];
  }
  const IntView match(iw_.From(2 * n_ + 2));
  std::int64_t rank = 0;
  MaximumTransversal(&n_, entries.From(1), &w, start.From(1), count.From(1), match.From(1), &rank,
                     iw_.From(3 * n_ + 2));
  info_[10] = rank;
  if (rank < n_) {
    if (icntl_[7] != 0) {
      Fail(slu::DriverError::kStructurallySingular, rank);
      return false;
    }
    SingleBlock();
    return true;
  }
  // The lists in transversal order, in KEEP sections that are free until
  // the layout.
  const IntView pstart(keep_.From(layout_.iptru + 1)), pcount(keep_.From(layout_.iptrd + 1));
  for (std::int64_t i = 1; i <= n_; ++i) {
    pstart[i] = start[match[i]];
    pcount[i] = count[match[i]];
  }
  const IntView order(iw_.From(3 * n_ + 2)), block_start(iw_.From(4 * n_ + 2));
  std::int64_t found = 0;
  BlockTriangularOrder(&n_, entries.From(1), &w, pstart.From(1), pcount.From(1), order.From(1),
                       block_start.From(1), &found, iw_.From(5 * n_ + 2));
  for (std::int64_t k = 1; k <= n_; ++k) {
    keep_[order[k]] = k;
    keep_[m_ + k] = match[order[k]];
  }
  // Block orders into the block table before merging.
  for (std::int64_t b = 1; b <= found; ++b) {
    const std::int64_t next = b < found ? block_start[b + 1] : n_ + 1;
    iw_[b] = next - block_start[b];
  }
  MergeBlocks(found);
  return true;
}

// Runs of order-1 blocks become one triangular block of order -r; then a
// block below the minimum order absorbs the blocks behind it until it
// reaches that order (such a merged block is not triangular).
void Analyser::MergeBlocks(std::int64_t first_blocks) {
  blocks_ = 0;
  for (std::int64_t b = 1; b <= first_blocks; ++b) {
    const std::int64_t order = iw_[b];
    if (order == 1 && blocks_ > 0 && Triangular(blocks_)) {
      --keep_[layout_.BlockOrder(blocks_)];
    } else {
      keep_[layout_.BlockOrder(++blocks_)] = order == 1 ? -1 : order;
    }
  }
  const std::int64_t minimum = std::max<std::int64_t>(icntl_[6], 1);
  if (minimum <= 1) return;
  std::int64_t out = 0;
  for (std::int64_t b = 1; b <= blocks_;) {
    std::int64_t order = Order(b++);
    if (std::abs(order) < minimum) {
      std::int64_t total = std::abs(order);
      bool absorbed = false;
      while (total < minimum && b <= blocks_) {
        total += std::abs(Order(b++));
        absorbed = true;
      }
      if (absorbed) order = total;
    }
    keep_[layout_.BlockOrder(++out)] = order;
  }
  blocks_ = out;
}

void Analyser::SingleBlock() {
  blocks_ = 1;
  keep_[layout_.BlockOrder(1)] = n_;
  if (job_ == 2) return;  // the given permutations stand
  for (std::int64_t i = 1; i <= m_; ++i) keep_[i] = i;
  for (std::int64_t j = 1; j <= n_; ++j) keep_[m_ + j] = j;
}

// The column flags were saved in the IPTRL section of KEEP on entry.
void Analyser::ChangeableColumnsLast() {
  const IntView flag(keep_.From(layout_.iptrl + 1));
  for (std::int64_t b = 1; b <= blocks_; ++b) keep_[layout_.ChangedColumns(blocks_, b)] = 0;
  if (job_ == 2) {
    for (std::int64_t k = 1; k <= n_; ++k) {
      if (flag[keep_[m_ + k]] == 0) {
        keep_[layout_.ChangedColumns(blocks_, 1)] = n_ - k + 1;
        break;
      }
    }
    return;
  }
  std::int64_t k1 = 1;
  for (std::int64_t b = 1; b <= blocks_; ++b) {
    const std::int64_t order = std::abs(Order(b));
    if (!Triangular(b)) {
      // Stable: the fixed columns first, then the changeable ones.
      std::int64_t w = 0, changed = 0;
      for (std::int64_t k = k1; k < k1 + order; ++k) {
        if (flag[keep_[m_ + k]] != 0) iw_[++w] = keep_[m_ + k];
      }
      for (std::int64_t k = k1; k < k1 + order; ++k) {
        if (flag[keep_[m_ + k]] == 0) {
          iw_[++w] = keep_[m_ + k];
          ++changed;
        }
      }
      for (std::int64_t t = 1; t <= order; ++t) keep_[m_ + k1 + t - 1] = iw_[t];
      keep_[layout_.ChangedColumns(blocks_, b)] = changed;
    }
    k1 += order;
  }
}

// The matrix in block order behind the entries: IRN(NE+p) holds the row
// position, A(NE+p) the summed value; JCN(k) becomes p (0 out of range).
// Columns of triangular blocks keep their diagonal entry first.
void Analyser::FirstLayout() {
  const bool blocked = blocks_ > 1;
  const IntView next_diag(iw_.From(1)), next_off(iw_.From(n_ + 2));
  const IntView column_at(iw_.From(2 * n_ + 3)), block_of(iw_.From(3 * n_ + 3));
  for (std::int64_t k = 1; k <= n_; ++k) column_at[keep_[m_ + k]] = k;
  if (blocked) {
    std::int64_t k1 = 1;
    for (std::int64_t b = 1; b <= blocks_; ++b) {
      const std::int64_t order = std::abs(Order(b));
      for (std::int64_t k = k1; k < k1 + order; ++k) block_of[k] = b;
      k1 += order;
    }
  }
  auto inside = [&](std::int64_t row, std::int64_t column) {
    return !blocked || block_of[row] == block_of[column];
  };
  for (std::int64_t j = 1; j <= n_ + 1; ++j) next_diag[j] = next_off[j] = 0;
  for (std::int64_t k = 1; k <= ne_; ++k) {
    if (jcn_[k] <= 0) continue;
    const std::int64_t row = keep_[irn_[k]], column = column_at[jcn_[k]];
    ++(inside(row, column) ? next_diag : next_off)[column];
  }
  std::int64_t p = 1;
  for (std::int64_t j = 1; j <= n_; ++j) {
    Diag(j) = p;
    p += next_diag[j];
  }
  Diag(n_ + 1) = p;
  for (std::int64_t j = 1; j <= n_; ++j) {
    Off(j) = p;
    p += next_off[j];
  }
  Off(n_ + 1) = p;
  nz_ = p - 1;

  // Triangular columns reserve their first slot for the diagonal entry.
  std::int64_t k1 = 1;
  for (std::int64_t b = 1; b <= blocks_; ++b) {
    const std::int64_t order = std::abs(Order(b));
    for (std::int64_t j = k1; j < k1 + order; ++j) {
      next_diag[j] = Diag(j) + (Triangular(b) ? 1 : 0);
      next_off[j] = Off(j);
    }
    k1 += order;
  }
  for (std::int64_t k = 1; k <= ne_; ++k) {
    const std::int64_t c = jcn_[k];
    if (c == 0) continue;
    if (c < 0) {
      // A duplicate: its first entry, earlier, already holds its place.
      const std::int64_t place = jcn_[-c];
      a_[ne_ + place] += a_[k];
      jcn_[k] = place;
      continue;
    }
    const std::int64_t row = keep_[irn_[k]], column = column_at[c];
    std::int64_t place = 0;
    if (!inside(row, column)) {
      place = next_off[column]++;
    } else if (row == column && Triangular(blocked ? block_of[column] : 1)) {
      place = Diag(column);
    } else {
      place = next_diag[column]++;
    }
    irn_[ne_ + place] = row;
    a_[ne_ + place] = a_[k];
    jcn_[k] = place;
  }
}

bool Analyser::SearchPivots(std::int64_t& calls) {
  tolerance_ = std::max(cntl_[3], 0.0);
  calls = 0;
  std::int64_t k2 = n_;
  for (std::int64_t b = blocks_; b >= 1; --b) {
    const std::int64_t order = std::abs(Order(b));
    const std::int64_t k1 = k2 - order + 1;
    if (Triangular(b)) {
      // A small diagonal entry lowers the rank estimate; the block stays
      // triangular (the factorization looks again with the new values).
      for (std::int64_t j = k1; j <= k2; ++j) {
        if (std::fabs(a_[ne_ + Diag(j)]) > tolerance_) ++info_[5];
        iw_[j] = j;
        iw_[m_ + j] = j;
      }
      keep_[layout_.BlockFlag(b)] = -1;
    } else {
      SearchBlock(b, k1, ++calls);
    }
    k2 = k1 - 1;
  }
  return info_[1] != -3;
}

void Analyser::SearchBlock(std::int64_t b, std::int64_t k1, std::int64_t call) {
  const std::int64_t order = std::abs(Order(b));
  const std::int64_t rows = blocks_ == 1 ? m_ : order;
  const std::int64_t e = Diag(k1 + order) - Diag(k1);
  const std::int64_t q = ne_ + nz_ + 1;  // first free slot of A and IRN
  const std::int64_t length = std::max<std::int64_t>((la_ - q + 1) / 2, 0);
  const IntView ip(iw_.From(k1)), iq(iw_.From(m_ + k1)), ifirst(iw_.From(m_ + n_ + k1));
  std::int64_t kinfo[7] = {0, 0, 0, 0, 0, 0, 0};
  double krinfo = 0.0;
  std::int64_t np = 0;
  const std::int64_t kicntl[7] = {icntl_[1],
                                  icntl_[2],
                                  0,
                                  job_ == 2 ? 1 : icntl_[4],
                                  icntl_[5],
                                  icntl_[8] != 0 ? keep_[layout_.ChangedColumns(blocks_, b)] : 0,
                                  job_ == 1   ? 0
                                  : job_ == 2 ? 2
                                              : 1};
  const double kcntl[4] = {cntl_[0], cntl_[1], cntl_[2], cntl_[3]};
  // The block by columns, rows counted from its first, into the kernel's
  // storage of `room` entries; the row storage is JCN.
  auto search = [&](double* a, std::int64_t* irn, std::int64_t* jcn, std::int64_t room) {
    const std::int64_t first = ne_ + Diag(k1);
    for (std::int64_t t = 0; t < e; ++t) {
      a[t] = a_[first + t];
      irn[t] = irn_[first + t] - (k1 - 1);
    }
    for (std::int64_t t = 1; t <= order; ++t) iq[t] = Diag(k1 + t - 1) - Diag(k1) + 1;
    if (job_ == 2) {
      // The layout is in the given order already.
      for (std::int64_t i = 1; i <= rows; ++i) ip[i] = i;
      for (std::int64_t t = 1; t <= order; ++t) ifirst[t] = t;
    }
    const IntView work(iw_.From(m_ + 2 * n_ + 1));
    krinfo = 0.0;
    SluKernelAnalyse(&rows, &order, &e, &room, a, irn, jcn, iq.From(1), kcntl, kicntl, ip.From(1),
                     &np, work.From(1), work.From(m_ + 1), work.From(2 * m_ + 1),
                     work.From(3 * m_ + 1), work.From(4 * m_ + 1), ifirst.From(1),
                     keep_.From(layout_.iptru + call), keep_.From(layout_.iptrl + call),
                     iw_.From(6 * m_ + 2 * n_ + 1), kinfo, &krinfo);
  };
  if (e == 0) {
    // Nothing in range: every column is empty, the rank 0.
    for (std::int64_t i = 1; i <= rows; ++i) ip[i] = i;
    for (std::int64_t t = 1; t <= order; ++t) iq[t] = t;
    np = order;
    kinfo[0] = 1;
    kinfo[3] = rows + 2;
  } else if (length >= e) {
    search(a_.From(q), irn_.From(q), irn_.From(q + length), length);
  }
  if (e > 0 && (length < e || kinfo[0] == -3)) {
    // Short of room. The search stops where the room ends, so what it has
    // needed so far says little about the whole: it is run again on storage
    // of its own, grown until it completes, and its peak is the need. The
    // caller's storage is never exceeded and one retry with the reported
    // length succeeds.
    std::int64_t room = std::max(2 * std::max(length, e), std::int64_t{16});
    std::int64_t compresses = kinfo[1];
    for (;;) {
      std::vector<double> a(static_cast<std::size_t>(room));
      std::vector<std::int64_t> irn(static_cast<std::size_t>(room)), jcn(irn.size());
      search(a.data(), irn.data(), jcn.data(), room);
      if (kinfo[0] != -3) break;
      room *= 2;
    }
    kinfo[0] = -3;
    kinfo[1] = compresses;
  }
  info_[2] += kinfo[1];
  info_[3] = std::max(info_[3], q - 1 + 2 * WithHeadroom(std::max(kinfo[2], e)));
  if (kinfo[0] < 0) {
    // Only a short length can stop the search here; the blocks still to
    // come are searched too so that INFO(3) holds the whole need.
    info_[1] = -3;
    return;
  }
  if (info_[1] >= 0) {
    const std::int64_t w = info_[1];
    if (kinfo[0] == 1 && (w == 0 || w == 4)) info_[1] += 2;
    if (kinfo[0] == 2 && (w == 0 || w == 2)) info_[1] += 4;
    if (kinfo[0] == 3) info_[1] = 6;
  }
  info_[5] += kinfo[4];
  info_[6] += kinfo[5];
  info_[7] = std::max(info_[7], rows);
  info_[8] += order;
  info_[9] += e;
  *rinfo_ += krinfo;
  for (std::int64_t i = 1; i <= rows; ++i) ip[i] += k1 - 1;
  for (std::int64_t t = 1; t <= order; ++t) iq[t] += k1 - 1;
  keep_[layout_.BlockFlag(b)] = np;
  keep_[layout_.iptrl + call] = kinfo[3];
  keep_[layout_.iptru + call] = kinfo[3] - 2 * rows;
}

// The least LA for SluFactorize: the blocks in order, each needing its own
// estimate on top of NE and what the blocks before it keep. Block b's two
// values were kept by its search, the j-th, in entry j of IPTRL and IPTRU.
void Analyser::StorageEstimate(std::int64_t calls) {
  info_[4] = ne_;
  std::int64_t kept = ne_, j = calls;
  for (std::int64_t b = 1; b <= blocks_; ++b) {
    if (keep_[layout_.BlockFlag(b)] < 0) continue;
    info_[4] = std::max(info_[4], kept + keep_[layout_.iptrl + j]);
    kept += keep_[layout_.iptru + j];
    --j;
  }
}

// IW(r) is now the final position of the row at position r of the first
// layout, IW(M+k) the first-layout position of the column placed at k.
void Analyser::FinalLayout() {
  const IntView moved(iw_.From(m_ + n_ + 1));
  for (std::int64_t k = 1; k <= n_; ++k) moved[k] = keep_[m_ + iw_[m_ + k]];
  for (std::int64_t k = 1; k <= n_; ++k) keep_[m_ + k] = moved[k];
  for (std::int64_t i = 1; i <= m_; ++i) keep_[i] = iw_[keep_[i]];

  const IntView old_diag(iw_.From(m_ + n_ + 1)), old_off(iw_.From(m_ + 2 * n_ + 2));
  for (std::int64_t j = 1; j <= n_ + 1; ++j) {
    old_diag[j] = Diag(j);
    old_off[j] = Off(j);
  }
  const IntView source(iw_.From(m_ + 1));
  std::int64_t p = 1;
  for (std::int64_t k = 1; k <= n_; ++k) {
    Diag(k) = p;
    p += old_diag[source[k] + 1] - old_diag[source[k]];
  }
  Diag(n_ + 1) = p;
  for (std::int64_t k = 1; k <= n_; ++k) {
    Off(k) = p;
    p += old_off[source[k] + 1] - old_off[source[k]];
  }
  Off(n_ + 1) = p;
  // Each slot left behind records where its entry went.
  auto move = [&](std::int64_t from, std::int64_t to, std::int64_t length) {
    for (std::int64_t t = 0; t < length; ++t) {
      const std::int64_t s = ne_ + from + t;
      irn_[to + t] = iw_[irn_[s]];
      a_[to + t] = a_[s];
      irn_[s] = to + t;
    }
  };
  for (std::int64_t k = 1; k <= n_; ++k) {
    const std::int64_t c = source[k];
    move(old_diag[c], Diag(k), old_diag[c + 1] - old_diag[c]);
    move(old_off[c], Off(k), old_off[c + 1] - old_off[c]);
  }
  for (std::int64_t k = 1; k <= ne_; ++k) {
    jcn_[k] = jcn_[k] > 0 ? irn_[ne_ + jcn_[k]] : ne_;
  }
}

void Analyser::Warnings() {
  if (info_[11] > 0 || info_[12] > 0) {
    info_[1] += 1;
    slu::WarnEntrySummary(icntl_.From(1), info_[11], info_[12]);
  }
  if (info_[11] > 0) jcn_[1] = -jcn_[1];
  if (info_[10] < info_[5]) {
    info_[5] = info_[10];
    const std::int64_t w = info_[1];
    if (w != 2 && w != 3 && w < 6) info_[1] += 2;
  }
}

void Analyser::Run() {
  if (slu::CheckDriverArguments(slu::Driver::kAnalyse, &m_, &n_, &ne_, &job_, &la_, icntl_.From(1),
                                info_.From(1)) != 0) {
    return;
  }
  if (icntl_[8] != 0) {
    for (std::int64_t j = 1; j <= n_; ++j) keep_[layout_.iptrl + j] = iw_[j];
  }
  if (job_ == 2 && !GivenPermutationsValid()) {
    Fail(slu::DriverError::kBadPermutations);
    return;
  }
  info_[1] = 0;
  for (std::int64_t k = 2; k <= slu::kInfoLength; ++k) info_[k] = 0;
  info_[3] = 2 * ne_;
  info_[4] = ne_;
  info_[10] = std::min(m_, n_);
  *rinfo_ = 0.0;

  RangePass();
  SortByColumn();
  FindDuplicates();
  if (job_ == 1 && m_ == n_ && n_ > std::max<std::int64_t>(icntl_[6], 1)) {
    if (!BlockTriangularForm()) return;
  } else {
    SingleBlock();
  }
  if (icntl_[8] != 0) ChangeableColumnsLast();
  FirstLayout();
  std::int64_t calls = 0;
  if (!SearchPivots(calls)) {
    Fail(slu::DriverError::kShortStorage);
    return;
  }
  StorageEstimate(calls);
  FinalLayout();
  Warnings();
  for (std::int64_t b = 1; b <= blocks_; ++b) {
    keep_[layout_.BlockOrder(b)] = std::abs(Order(b));
  }
  keep_[layout_.BlockStart(1)] = blocks_;
}

}  // namespace

void SluAnalyse(const std::int64_t* M, const std::int64_t* N, const std::int64_t* NE,
                const std::int64_t* JOB, const std::int64_t* LA, double* A, std::int64_t* IRN,
                std::int64_t* JCN, std::int64_t* KEEP, const double* CNTL,
                const std::int64_t* ICNTL, std::int64_t* IW, std::int64_t* INFO, double* RINFO) {
  Analyser analyser(M, N, NE, JOB, LA, A, IRN, JCN, KEEP, CNTL, ICNTL, IW, INFO, RINFO);
  analyser.Run();
}
