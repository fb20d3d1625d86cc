#include "tests/sim/host.h"

#include <algorithm>

namespace talvor::test {

namespace {

constexpr std::uint8_t kLineTsDirect = 0x3B;
constexpr std::uint8_t kLineTsInverse = 0x03;
constexpr std::uint8_t kNull = 0x60;

std::uint8_t decode(card::Convention convention, std::uint8_t byte) {
  return card::line_coding(convention, byte);
}

// The EDCs, written apart from the card's so that one cannot hide a fault
// in the other: CRC-16, reflected polynomial 0x8408, preset 0xFFFF.
std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : bytes)
    for (int bit = 0; bit < 8; ++bit) {
      const bool low = ((crc ^ (byte >> bit)) & 1) != 0;
      crc = static_cast<std::uint16_t>(crc >> 1);
      if (low)
        crc ^= 0x8408;
    }
  return crc;
}

bool is_r(std::uint8_t pcb) {
  return (pcb & 0xC0) == 0x80;
}
std::uint8_t r_nr(std::uint8_t pcb) {
  return (pcb >> 4) & 1;
}
std::uint8_t i_ns(std::uint8_t pcb) {
  return (pcb >> 6) & 1;
}

} // namespace

// Line.

Bytes Host::cold_reset() {
  card_.power_on(now_);
  return read_atr();
}

Bytes Host::warm_reset() {
  card_.warm_reset(now_);
  return read_atr();
}

Bytes Host::read_atr() {
  convention_ = card::Convention::direct;
  // TS comes within 40000 clock cycles.
  const Duration first = card::clock_cycles(40'000, card_.profile().clock_hz);
  auto ts = card_.next_output();
  if (!ts || *ts > now_ + first)
    return {};
  now_ = std::max(now_, *ts);
  const std::uint8_t line_ts = card_.take_output(now_, 1).at(0);
  arrivals_.push_back(now_);
  if (line_ts == kLineTsInverse)
    convention_ = card::Convention::inverse;
  Bytes atr{decode(convention_, line_ts)};
  (void)kLineTsDirect;
  Bytes rest = read_until_quiet(etus(200));
  atr.insert(atr.end(), rest.begin(), rest.end());
  return atr;
}

void Host::write(std::span<const std::uint8_t> bytes) {
  Bytes coded;
  for (std::uint8_t byte : bytes)
    coded.push_back(card::line_coding(convention_, byte));
  now_ = card_.receive(now_, coded);
}

std::optional<Bytes> Host::read(std::size_t count, Duration timeout) {
  Bytes out;
  while (out.size() < count) {
    auto next = card_.next_output();
    if (!next || *next > now_ + timeout) {
      now_ += timeout;
      return std::nullopt;
    }
    now_ = std::max(now_, *next);
    for (std::uint8_t byte : card_.take_output(now_, 1)) {
      out.push_back(decode(convention_, byte));
      arrivals_.push_back(now_);
    }
  }
  return out;
}

Bytes Host::read_until_quiet(Duration gap) {
  Bytes out;
  while (auto byte = read(1, gap))
    out.push_back(byte->at(0));
  return out;
}

// PPS.

Bytes pps_request(std::uint8_t protocol, std::optional<std::uint8_t> pps1) {
  Bytes request{0xFF, static_cast<std::uint8_t>(protocol | (pps1 ? 0x10 : 0))};
  if (pps1)
    request.push_back(*pps1);
  std::uint8_t pck = 0;
  for (std::uint8_t byte : request)
    pck ^= byte;
  request.push_back(pck);
  return request;
}

Bytes pps_exchange(Host &host, std::span<const std::uint8_t> request) {
  host.write(request);
  // The answer starts within WT at the default rate: about a second.
  Bytes out;
  if (auto first = host.read(1, std::chrono::seconds(1))) {
    out = *first;
    Bytes rest = host.read_until_quiet(host.etus(40));
    out.insert(out.end(), rest.begin(), rest.end());
  }
  return out;
}

// T=0.

T0Host::T0Host(Host &host) : host_(host) {
  auto atr = card::Atr::parse(host.card().profile().atr.bytes());
  const std::int64_t wi = atr ? atr->waiting_integer() : 10;
  const std::int64_t fi = atr && atr->rate().valid() ? atr->rate().f() : 372;
  wt_ = card::clock_cycles(960 * wi * fi, host.card().profile().clock_hz);
}

std::optional<Bytes> T0Host::tpdu(std::span<const std::uint8_t> header,
                                  std::span<const std::uint8_t> data,
                                  std::size_t expected) {
  const std::uint8_t ins = header[1];
  host_.write(header);
  Time last = host_.now();
  std::size_t sent = 0;
  Bytes out;
  // A card may send NULLs forever; this many end the dialogue.
  for (int procedures = 0; procedures < 100'000; ++procedures) {
    // Wait WT plus the character itself.
    auto byte = host_.read(1, wt_ + host_.etus(12));
    if (!byte)
      return std::nullopt;
    trace_.longest_silence =
        std::max(trace_.longest_silence, host_.now() - last);
    last = host_.now();
    const std::uint8_t p = byte->at(0);
    if (p == kNull) {
      ++trace_.nulls;
    } else if (p == ins) {
      ++trace_.full_acks;
      if (sent < data.size()) {
        host_.write(data.subspan(sent));
        sent = data.size();
      } else if (expected > 0 && out.empty()) {
        auto bytes = host_.read(expected, wt_);
        if (!bytes)
          return std::nullopt;
        out = *bytes;
      }
      last = host_.now();
    } else if (p == static_cast<std::uint8_t>(~ins)) {
      ++trace_.one_byte_acks;
      if (sent >= data.size())
        return std::nullopt; // asks for more than there is
      host_.write(data.subspan(sent++, 1));
      last = host_.now();
    } else if ((p & 0xF0) == 0x60 || (p & 0xF0) == 0x90) {
      auto sw2 = host_.read(1, wt_);
      if (!sw2)
        return std::nullopt;
      out.push_back(p);
      out.push_back(sw2->at(0));
      return out;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<Bytes> T0Host::transmit(std::span<const std::uint8_t> apdu) {
  if (apdu.size() < 4)
    return std::nullopt;
  Bytes header(apdu.begin(), apdu.begin() + 4);
  std::span<const std::uint8_t> data;
  std::size_t le = 0;
  bool has_le = false;
  if (apdu.size() == 5) {
    le = apdu[4] == 0 ? 256 : apdu[4];
    has_le = true;
    header.push_back(apdu[4]);
  } else if (apdu.size() > 5) {
    data = apdu.subspan(5, apdu[4]);
    header.push_back(apdu[4]);
  } else {
    header.push_back(0);
  }
  auto response = tpdu(header, data, has_le ? le : 0);
  // 6Cxx: the same header with the Le the card named.
  for (int again = 0; response && response->size() == 2 &&
                      response->at(0) == 0x6C && again < 3;
       ++again) {
    ++trace_.resends_6c;
    header[4] = response->at(1);
    response = tpdu(header, {}, header[4] == 0 ? 256 : header[4]);
  }
  // 61xx: GET RESPONSE until the card has given everything.
  Bytes data_out;
  while (response && response->size() >= 2 &&
         response->at(response->size() - 2) == 0x61) {
    data_out.insert(data_out.end(), response->begin(), response->end() - 2);
    ++trace_.get_responses;
    const std::uint8_t xx = response->back();
    Bytes get{0x00, 0xC0, 0x00, 0x00, xx};
    response = tpdu(get, {}, xx == 0 ? 256 : xx);
    if (response && response->size() == 2 && response->at(0) == 0x6C) {
      get[4] = response->at(1);
      response = tpdu(get, {}, get[4] == 0 ? 256 : get[4]);
    }
  }
  if (!response)
    return std::nullopt;
  data_out.insert(data_out.end(), response->begin(), response->end());
  return data_out;
}

// T=1.

T1Host::T1Host(Host &host) : host_(host) {
  auto atr = card::Atr::parse(host.card().profile().atr.bytes());
  const card::T1Parameters p = atr ? atr->t1() : card::T1Parameters{};
  crc_ = p.crc;
  ifsc_ = p.ifsc;
  const std::uint32_t f = host.card().profile().clock_hz;
  bwt_ = host.etus(11) +
         card::clock_cycles((std::int64_t{1} << p.bwi) * 960 * 372, f);
  cwt_ = host.etus(11 + (std::int64_t{1} << p.cwi));
}

Bytes T1Host::frame(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
  Bytes block;
  block.reserve(inf.size() + 5);
  block.push_back(0x00);
  block.push_back(pcb);
  block.push_back(static_cast<std::uint8_t>(inf.size()));
  block.insert(block.end(), inf.begin(), inf.end());
  if (crc_) {
    const std::uint16_t crc = crc16(block);
    block.push_back(static_cast<std::uint8_t>(crc >> 8));
    block.push_back(static_cast<std::uint8_t>(crc));
  } else {
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : block)
      lrc ^= byte;
    block.push_back(lrc);
  }
  return block;
}

void T1Host::send_raw(const Bytes &block) {
  ++trace_.blocks_sent;
  // The reader waits BGT before it answers the card.
  host_.advance(host_.etus(22));
  host_.write(block);
}

void T1Host::send(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  send_raw(frame(pcb, inf));
}

T1Host::Outcome T1Host::receive(T1Block &block, Duration waiting) {
  auto prologue = host_.read(3, waiting + host_.etus(12));
  if (!prologue) {
    ++trace_.time_outs;
    return Outcome::time_out;
  }
  const std::size_t edc = crc_ ? 2 : 1;
  auto rest = host_.read(prologue->at(2) + edc, cwt_ + host_.etus(12));
  if (!rest) {
    ++trace_.bad_blocks;
    return Outcome::bad;
  }
  Bytes whole = *prologue;
  whole.insert(whole.end(), rest->begin(), rest->end());
  const std::span<const std::uint8_t> body(whole.data(), whole.size() - edc);
  bool good;
  if (crc_) {
    const std::uint16_t crc = crc16(body);
    good =
        whole[whole.size() - 2] == (crc >> 8) && whole.back() == (crc & 0xFF);
  } else {
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : whole)
      lrc ^= byte;
    good = lrc == 0;
  }
  if (!good || whole[2] == 0xFF) {
    ++trace_.bad_blocks;
    return Outcome::bad;
  }
  block.nad = whole[0];
  block.pcb = whole[1];
  block.inf.assign(whole.begin() + 3,
                   whole.end() - static_cast<std::ptrdiff_t>(edc));
  if (is_r(block.pcb))
    trace_.r_block_errors.push_back(block.pcb & 0x03);
  return Outcome::ok;
}

std::optional<Bytes> T1Host::transmit(std::span<const std::uint8_t> apdu) {
  Bytes last_i;
  std::size_t offset = 0;
  unsigned failures = 0;
  Duration wait = bwt_;
  auto fail_once = [&](Outcome outcome) {
    if (++failures > retry_limit_)
      return false;
    // Rule 7.2: R-block naming the I-block we expect from the card.
    send(static_cast<std::uint8_t>(0x80 | (nr_ << 4) |
                                   (outcome == Outcome::bad ? 0x01 : 0x02)),
         {});
    return true;
  };
  auto answer_wtx = [&](const T1Block &b) {
    if (b.pcb != 0xC3 || b.inf.size() != 1)
      return false;
    ++trace_.wtx_requests;
    send(0xE3, b.inf);
    wait = bwt_ * b.inf[0];
    return true;
  };

  // Our chain: each block but the last is acknowledged by R(N(R)).
  for (;;) {
    const std::size_t chunk =
        std::min<std::size_t>(ifsc_, apdu.size() - offset);
    const bool more = offset + chunk < apdu.size();
    last_i = frame(static_cast<std::uint8_t>((ns_ << 6) | (more ? 0x20 : 0)),
                   apdu.subspan(offset, chunk));
    send_raw(last_i);
    const std::uint8_t sent_ns = ns_;
    ns_ ^= 1;
    offset += chunk;
    if (!more)
      break;
    failures = 0;
    for (;;) {
      T1Block b;
      const Outcome outcome = receive(b, wait);
      wait = bwt_;
      if (outcome == Outcome::ok && is_r(b.pcb) && r_nr(b.pcb) == ns_)
        break; // acknowledged
      if (outcome == Outcome::ok && answer_wtx(b))
        continue;
      if (outcome == Outcome::ok && is_r(b.pcb) && r_nr(b.pcb) == sent_ns) {
        if (++failures > retry_limit_)
          return std::nullopt;
        ++trace_.retransmissions;
        send_raw(last_i);
        continue;
      }
      if (!fail_once(outcome == Outcome::ok ? Outcome::time_out : outcome))
        return std::nullopt;
    }
  }

  // The card's answer, chained or not.
  const std::uint8_t last_ns = ns_ ^ 1;
  Bytes answer;
  failures = 0;
  for (;;) {
    T1Block b;
    const Outcome outcome = receive(b, wait);
    wait = bwt_;
    if (outcome != Outcome::ok) {
      if (!fail_once(outcome))
        return std::nullopt;
      continue;
    }
    if ((b.pcb & 0x80) == 0 && i_ns(b.pcb) == nr_) {
      ++trace_.i_blocks_received;
      nr_ ^= 1;
      failures = 0;
      answer.insert(answer.end(), b.inf.begin(), b.inf.end());
      if (!(b.pcb & 0x20))
        return answer;
      ++trace_.chained_received;
      send(static_cast<std::uint8_t>(0x80 | (nr_ << 4)), {});
      continue;
    }
    if (answer_wtx(b))
      continue;
    if (b.pcb == 0xC1 && b.inf.size() == 1 && b.inf[0] != 0 &&
        b.inf[0] != 0xFF) {
      // The card sets its IFSC.
      ifsc_ = b.inf[0];
      send(0xE1, b.inf);
      continue;
    }
    if (is_r(b.pcb) && r_nr(b.pcb) == last_ns && answer.empty()) {
      // The card asks for our last I-block again.
      if (++failures > retry_limit_)
        return std::nullopt;
      ++trace_.retransmissions;
      send_raw(last_i);
      continue;
    }
    if (!fail_once(Outcome::time_out))
      return std::nullopt;
  }
}

bool T1Host::set_ifsd(std::uint8_t ifsd) {
  for (unsigned attempt = 0; attempt <= retry_limit_; ++attempt) {
    send(0xC1, std::span<const std::uint8_t>(&ifsd, 1));
    T1Block b;
    if (receive(b, bwt_) == Outcome::ok && b.pcb == 0xE1 &&
        b.inf == Bytes{ifsd}) {
      ifsd_ = ifsd;
      return true;
    }
  }
  return false;
}

bool T1Host::resynch() {
  for (unsigned attempt = 0; attempt <= retry_limit_; ++attempt) {
    send(0xC0, {});
    T1Block b;
    if (receive(b, bwt_) == Outcome::ok && b.pcb == 0xE0) {
      ns_ = nr_ = 0;
      ifsd_ = 32;
      return true;
    }
  }
  return false;
}

} // namespace talvor::test
