// DseSentMark: tells its holder when a message queued for its peers has
// left the process. It holds one more use of the message's last segment,
// so the block stays out of the pool while the mark lives; the peers'
// uses go as each writes the frame whole (or is closed). The segments of
// one class leave in order, so once the last one has left, so have the
// message's other segments and the messages of its class queued before
// it. Belongs to the server thread, as the segment pool does.
#pragma once

class DseSegment;

class DseSentMark {
 public:
  DseSentMark() = default;
  ~DseSentMark() { Release(); }
  DseSentMark(const DseSentMark&) = delete;
  DseSentMark& operator=(const DseSentMark&) = delete;
  DseSentMark(DseSentMark&& other) noexcept;
  DseSentMark& operator=(DseSentMark&& other) noexcept;

  // Marks the last segment of the chain (which may be null); before the
  // chain is queued, so that routing does not give it back to the pool.
  void Set(DseSegment* chain);
  // Whether every peer the message went to has written it whole, or no
  // peer took it; true without a mark.
  bool Left() const;

 private:
  void Release();

  DseSegment* segment_ = nullptr;
};
