// Replays a corpus through every operation of the Python-free core and prints
// one line per result, so that two builds (another architecture, another byte
// order, another formatter path) can be compared byte for byte with diff.
//
//   geoweave_replay CASES > RESULTS
//
// CASES holds one input per line as hex digits (an empty line is the empty
// input). Every input is used as WKB bytes and, when it is valid UTF-8, as
// text, through every operation that takes that kind of source, with every
// SRID option (fuzz/fuzz_common.h's list, including the SRID the input itself
// may carry in either byte order). A line is
//
//   <input number> <operation> <option> ok <result>
//   <input number> <operation> <option> error <kind> <code> <message>
//
// with byte results as hex and text results escaped (\\ and \xHH for bytes
// outside printable ASCII), so each line is one result whatever it holds.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "fuzz_common.h"
#include "ops/convert.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"
#include "wkt_to_wkb/parser.h"

using namespace geoweave;
using geoweave::fuzz::options_for;
using geoweave::fuzz::reference_hex;

namespace {

std::string escaped(std::string_view s) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

std::string option_name(SridOption o) {
  switch (o.kind) {
    case SridOption::Kind::Mirror: return "mirror";
    case SridOption::Kind::Strip: return "strip";
    case SridOption::Kind::Set: return "set:" + std::to_string(o.value);
  }
  return "?";
}

std::string slot_name(SridSlot s) { return s.has_srid ? std::to_string(s.srid) : "none"; }

const char* kind_name(ConversionError::Kind k) {
  switch (k) {
    case ConversionError::Kind::InvalidWkt: return "InvalidWkt";
    case ConversionError::Kind::InvalidWkb: return "InvalidWkb";
    case ConversionError::Kind::UnsupportedGeometryType: return "Unsupported";
    case ConversionError::Kind::Unwritable: return "Unwritable";
  }
  return "?";
}

class Printer {
 public:
  explicit Printer(std::size_t input) : prefix_(std::to_string(input) + " ") {}

  void ok(std::string_view op, std::string_view option, std::string_view result) {
    line(op, option, "ok " + std::string(result));
  }
  void error(std::string_view op, std::string_view option, const ConversionError& e) {
    line(op, option,
         std::string("error ") + kind_name(e.kind) + " " + std::to_string(e.code) + " " +
             escaped(e.display()));
  }
  // A text result (escaped) or its error.
  template <class R>
  void text(std::string_view op, std::string_view option, const R& r) {
    if (r) {
      ok(op, option, escaped(r->view()));
    } else {
      error(op, option, r.error());
    }
  }
  // A byte result (hex) or its error.
  template <class R>
  void bytes(std::string_view op, std::string_view option, const R& r) {
    if (r) {
      ok(op, option, reference_hex(r->view()));
    } else {
      error(op, option, r.error());
    }
  }

 private:
  void line(std::string_view op, std::string_view option, const std::string& rest) {
    std::string s = prefix_;
    s.append(op).append(" ").append(option.empty() ? "-" : option).append(" ").append(rest);
    s.push_back('\n');
    std::fwrite(s.data(), 1, s.size(), stdout);
  }
  std::string prefix_;
};

void replay_bytes(Printer& out, ByteSpan input, const std::vector<SridOption>& options) {
  const Source source{false, input, {}};

  out.ok("hex_encode_upper", "", hex_encode_upper(input).view());
  out.text("decode_wkb_to_ewkt", "", decode_wkb_to_ewkt(input));
  if (auto split = decode_wkb_split_srid(input)) {
    out.ok("decode_wkb_split_srid", "", escaped(split->text.view()) + " srid=" + slot_name(split->slot));
  } else {
    out.error("decode_wkb_split_srid", "", split.error());
  }
  if (auto srid = read_header_srid(input)) {
    out.ok("read_header_srid", "", *srid ? std::to_string(**srid) : "none");
  } else {
    out.error("read_header_srid", "", srid.error());
  }
  out.ok("is_simple_header", "", is_simple_header(input) ? "true" : "false");
  for (SridOption option : options) {
    const std::string o = option_name(option);
    out.text("convert_wkb_to_wkt", o, convert_wkb_to_wkt(input, option));
    out.text("convert_to_wkt", o, convert_to_wkt(source, option, false));
    out.text("convert_to_wkt_normalized", o, convert_to_wkt(source, option, true));
    out.bytes("convert_to_wkb", o, convert_to_wkb(source, option));
    out.text("convert_to_hex_wkb", o, convert_to_hex_wkb(source, option));
    if (option.kind == SridOption::Kind::Set) {
      out.text("decode_wkb_with_srid", o, decode_wkb_with_srid(input, option.value));
    }
    if (option.is_mirror()) continue;
    // The one SRID rewrite entry, in both encodings; the header functions
    // always strip or set.
    const RewritePlan plan = plan_srid_rewrite(input, option);
    const RewritePlan hex_plan = plan_srid_rewrite(input, option, RewriteEncoding::Hex);
    std::string planned(plan.length, '\0');
    auto written = write_plan(plan, input, planned.data());
    std::string planned_hex(hex_plan.length, '\0');
    auto hex_written = write_plan(hex_plan, input, planned_hex.data());
    if (written && hex_written) {
      planned.resize(*written);
      planned_hex.resize(*hex_written);
      out.ok("rewrite_srid", o, reference_hex(planned));
      out.ok("plan_srid_rewrite", o,
             std::to_string(static_cast<int>(plan.kind)) + " " + reference_hex(planned) + " " +
                 escaped(planned_hex));
    } else if (!written && !hex_written) {
      out.error("rewrite_srid", o, written.error());
      out.error("plan_srid_rewrite", o, hex_written.error());
    } else {
      out.ok("plan_srid_rewrite", o, "MISMATCH: one encoding failed, the other did not");
    }
  }
}

void replay_text(Printer& out, TextView text, const std::vector<SridOption>& options) {
  const Source source{true, {}, text};
  out.bytes("hex_decode", "", hex_decode(text));
  if (auto decoded = try_hex_decode(text)) {
    out.ok("try_hex_decode", "", reference_hex(decoded->view()));
  } else {
    out.ok("try_hex_decode", "", "not-hex");
  }
  out.ok("strip_ewkt_prefix", "", escaped(strip_ewkt_prefix(text)));
  out.ok("trim_text", "", escaped(trim_text(text)));
  if (auto split = wkt_to_ewkb_bytes_split_srid(text)) {
    out.ok("wkt_to_ewkb_bytes_split_srid", "",
           reference_hex(split->bytes.view()) + " srid=" + slot_name(split->slot));
  } else {
    out.error("wkt_to_ewkb_bytes_split_srid", "", split.error());
  }
  for (SridOption option : options) {
    const std::string o = option_name(option);
    out.bytes("convert_wkt_to_wkb", o, convert_wkt_to_wkb(text, option));
    out.text("convert_wkt_to_hex_wkb", o, convert_wkt_to_hex_wkb(text, option));
    out.text("text_to_wkt", o, convert_to_wkt(source, option, false));
    out.text("text_to_wkt_normalized", o, convert_to_wkt(source, option, true));
    out.bytes("text_to_wkb", o, convert_to_wkb(source, option));
    out.text("text_to_hex_wkb", o, convert_to_hex_wkb(source, option));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CASES > RESULTS\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.size() % 2) {
      std::fprintf(stderr, "line %zu: odd number of hex digits\n", number);
      return 2;
    }
    std::string input(line.size() / 2, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) {
      const int high = hex_value(line[2 * i]);
      const int low = hex_value(line[2 * i + 1]);
      if (high < 0 || low < 0) {
        std::fprintf(stderr, "line %zu: not hex\n", number);
        return 2;
      }
      input[i] = static_cast<char>(high << 4 | low);
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    const auto options = options_for(data, input.size());
    Printer out(number);
    replay_bytes(out, {data, input.size()}, options);
    // Text operations get what a Python str can hand them: valid UTF-8.
    if (fuzz::is_valid_utf8(data, input.size())) replay_text(out, input, options);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("write");
    return 1;
  }
  std::fprintf(stderr, "replayed %zu inputs\n", number);
  return 0;
}
