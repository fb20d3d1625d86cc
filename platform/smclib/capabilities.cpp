// SmartcardUpdateCardCapabilities: the parsed ATR written into the card
// capabilities, the card's timing, the PPS proposal and the card state.
#include <algorithm>
#include <array>
#include <cstring>

#include "platform/smclib/atr.h"
#include "platform/smclib/extension.h"
#include "platform/smclib/t1.h"

namespace talvor::smclib {

namespace {

// ISO/IEC 7816-3 Tables 7 and 8, as drivers read them through
// CardCapabilities.ClockRateConversion and .BitRateAdjustment.
constexpr CLOCK_RATE_CONVERSION kClockRateConversion[16] = {
    {372, 4000},   {372, 5000},   {558, 6000},   {744, 8000},
    {1116, 12000}, {1488, 16000}, {1860, 20000}, {0, 0},
    {0, 0},        {512, 5000},   {768, 7500},   {1024, 10000},
    {1536, 15000}, {2048, 20000}, {0, 0},        {0, 0}};
constexpr BIT_RATE_ADJUSTMENT kBitRateAdjustment[16] = {
    {0, 0},  {1, 1},  {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
    {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0},  {0, 0},  {0, 0}};

constexpr std::uint8_t kDefaultFl = 1;
constexpr std::uint8_t kDefaultDl = 1;
constexpr ULONG kDefaultClockKhz = 3571;

ULONG protocol_bit(unsigned t) {
  switch (t) {
  case 0:
    return SCARD_PROTOCOL_T0;
  case 1:
    return SCARD_PROTOCOL_T1;
  default:
    return 0;
  }
}

std::uint64_t rate_of(ULONG clock_khz, std::uint8_t fl, std::uint8_t dl) {
  const std::uint64_t f = clock_rate_factor(fl);
  return f == 0 ? 0 : std::uint64_t{clock_khz} * 1000 * bit_rate_factor(dl) / f;
}

// The reader's clock at which `rate` is one of its supported data rates
// (within 1%), or 0. Readers that list no rates take any up to the maximum.
ULONG clock_for_rate(const SCARD_READER_CAPABILITIES &reader, std::uint8_t fl,
                     std::uint8_t dl) {
  const ULONG default_clock = reader.CLKFrequency.Default != 0
                                  ? reader.CLKFrequency.Default
                                  : kDefaultClockKhz;
  std::array<ULONG, 256> clocks{};
  std::size_t clock_count = 0;
  clocks[clock_count++] = default_clock;
  if (reader.CLKFrequenciesSupported.List != nullptr)
    for (UCHAR i = 0; i < reader.CLKFrequenciesSupported.Entries; ++i)
      clocks[clock_count++] = reader.CLKFrequenciesSupported.List[i];

  for (std::size_t c = 0; c < clock_count; ++c) {
    const std::uint64_t rate = rate_of(clocks[c], fl, dl);
    if (rate == 0 || (reader.DataRate.Max != 0 && rate > reader.DataRate.Max))
      continue;
    if (reader.DataRatesSupported.List == nullptr ||
        reader.DataRatesSupported.Entries == 0)
      return clocks[c];
    for (UCHAR i = 0; i < reader.DataRatesSupported.Entries; ++i) {
      const std::uint64_t listed = reader.DataRatesSupported.List[i];
      const std::uint64_t delta = listed > rate ? listed - rate : rate - listed;
      if (delta * 100 <= listed)
        return clocks[c];
    }
  }
  return 0;
}

void mark_unusable(SMARTCARD_EXTENSION &extension) {
  auto &caps = extension.CardCapabilities;
  caps.Protocol.Supported = 0;
  caps.Protocol.Selected = 0;
  t1::reset(*T1Session(extension), 0);
  // Powered, mode unknown: it can be reset again, not used.
  set_state_if_present(extension, SCARD_POWERED);
}

} // namespace

ULONG card_state(SMARTCARD_EXTENSION &extension) {
  if (extension.OsData == nullptr)
    return extension.ReaderCapabilities.CurrentState;
  KIRQL irql;
  KeAcquireSpinLock(&extension.OsData->SpinLock, &irql);
  const ULONG state = extension.ReaderCapabilities.CurrentState;
  KeReleaseSpinLock(&extension.OsData->SpinLock, irql);
  return state;
}

void set_state_if_present(SMARTCARD_EXTENSION &extension, ULONG state) {
  KIRQL irql = PASSIVE_LEVEL;
  if (extension.OsData != nullptr)
    KeAcquireSpinLock(&extension.OsData->SpinLock, &irql);
  if (extension.ReaderCapabilities.CurrentState > SCARD_ABSENT)
    extension.ReaderCapabilities.CurrentState = state;
  if (extension.OsData != nullptr)
    KeReleaseSpinLock(&extension.OsData->SpinLock, irql);
}

void fill_pts_data(SMARTCARD_EXTENSION &extension, UCHAR type) {
  auto &caps = extension.CardCapabilities;
  const auto &reader = extension.ReaderCapabilities;
  auto &pts = caps.PtsData;
  pts.Type = type;
  pts.Fl = kDefaultFl;
  pts.Dl = kDefaultDl;
  pts.StopBits = caps.N == 255 ? 1 : 2;
  ULONG clock = 0;
  if (type != PTS_TYPE_DEFAULT && clock_rate_factor(caps.Fl) != 0 &&
      bit_rate_factor(caps.Dl) != 0) {
    // The card's F with the largest D up to the card's that the reader can
    // do; D values in falling order.
    static constexpr std::array<std::uint8_t, 9> kDlByFallingD = {7, 6, 9, 5, 8,
                                                                  4, 3, 2, 1};
    for (std::uint8_t dl : kDlByFallingD) {
      if (bit_rate_factor(dl) > bit_rate_factor(caps.Dl))
        continue;
      clock = clock_for_rate(reader, caps.Fl, dl);
      if (clock != 0) {
        pts.Fl = caps.Fl;
        pts.Dl = dl;
        break;
      }
    }
  }
  if (clock == 0)
    clock = reader.CLKFrequency.Default != 0 ? reader.CLKFrequency.Default
                                             : kDefaultClockKhz;
  pts.CLKFrequency = clock;
  pts.DataRate = static_cast<ULONG>(rate_of(clock, pts.Fl, pts.Dl));
}

} // namespace talvor::smclib

using namespace talvor::smclib;

extern "C" NTSTATUS
SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  if (PRDF_FUNCTION parse = extension.ReaderFunction[RDF_ATR_PARSE])
    return parse(SmartcardExtension);

  // Everything but the ATR derives from it anew. A PTS_TYPE_DEFAULT stays:
  // a driver whose PPS failed resets the card and retries with the
  // defaults, and must not be handed the optimal proposal again.
  auto &caps = extension.CardCapabilities;
  const auto atr_bytes = caps.ATR;
  const UCHAR pts_type = caps.PtsData.Type == PTS_TYPE_DEFAULT
                             ? PTS_TYPE_DEFAULT
                             : PTS_TYPE_OPTIMAL;
  std::memset(&caps, 0, sizeof caps);
  caps.ATR = atr_bytes;
  caps.ClockRateConversion = kClockRateConversion;
  caps.BitRateAdjustment = kBitRateAdjustment;
  caps.PtsData.Type = pts_type;
  extension.T0 = T0_DATA{};

  // The length is the driver's: a byte that can claim more than the buffer.
  Atr atr;
  if (atr_bytes.Length > kAtrBufferLength ||
      parse_atr({atr_bytes.Buffer, atr_bytes.Length}, atr) != AtrError::none) {
    mark_unusable(extension);
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  // The card's protocols the reader can do; TA2 allows one only.
  ULONG offered = 0;
  if (atr.ta2)
    offered = protocol_bit(atr.specific_protocol());
  else
    for (unsigned t = 0; t < 16; ++t)
      if (atr.offers(t))
        offered |= protocol_bit(t);
  const ULONG usable =
      offered & extension.ReaderCapabilities.SupportedProtocols;
  if (usable == 0) {
    mark_unusable(extension);
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  // An ATR handed over undecoded is kept decoded.
  std::copy_n(atr.bytes.begin(), caps.ATR.Length, caps.ATR.Buffer);
  caps.InversConvention = atr.inverse ? TRUE : FALSE;
  const auto historical = atr.historical();
  caps.HistoricalChars.Length = static_cast<UCHAR>(historical.size());
  std::copy(historical.begin(), historical.end(), caps.HistoricalChars.Buffer);
  caps.Fl = atr.fl;
  caps.Dl = atr.dl;
  if (atr.ta2 && atr.implicit_parameters()) {
    // Parameters TA1 does not give: assume the defaults.
    caps.Fl = kDefaultFl;
    caps.Dl = kDefaultDl;
    atr.fl = kDefaultFl;
    atr.dl = kDefaultDl;
  }
  caps.II = atr.ii;
  caps.P = atr.p;
  caps.N = atr.n;
  caps.Protocol.Supported = usable;

  const CardTiming timing =
      card_timing(atr, extension.ReaderCapabilities.CLKFrequency.Default);
  caps.etu = timing.etu;
  caps.GT = timing.gt;
  caps.T0.WI = atr.wi;
  caps.T0.WT = timing.wt;
  caps.T1.IFSC = atr.ifsc;
  caps.T1.CWI = atr.cwi;
  caps.T1.BWI = atr.bwi;
  caps.T1.EDC = atr.edc;
  caps.T1.CWT = timing.cwt;
  caps.T1.BWT = timing.bwt;
  caps.T1.BGT = timing.bgt;
  fill_pts_data(extension, pts_type);
  t1::reset(*T1Session(extension), atr.ifsc);

  if (atr.ta2) {
    // Specific mode: no PPS, the protocol is set.
    caps.Protocol.Selected = usable;
    set_state_if_present(extension, SCARD_SPECIFIC);
  } else {
    set_state_if_present(extension, SCARD_NEGOTIABLE);
  }
  return STATUS_SUCCESS;
}
