#include "relay_server/resumable_transfers.h"

#include "foundation/text.h"
#include "relay_server/requests.h"

namespace vek::relay_server {

namespace {

std::string bytesText(std::uint64_t bytes) {
  return std::to_string(bytes) + " bytes";
}

HttpError conflict(std::string message, std::uint64_t heldOffset) {
  return HttpError(409, std::move(message)).withHeader("Upload-Offset", std::to_string(heldOffset));
}

std::uint64_t requireNumber(const std::optional<std::string>& value, std::string_view header,
                            std::string_view meaning) {
  std::optional<std::uint64_t> number;
  if (value) number = text::parseDecimal(*value);
  if (!number) {
    throw HttpError(400, "A resumable upload's PATCH needs the header " + std::string(header) +
                             " with " + std::string(meaning) + " as a decimal number.");
  }
  return *number;
}

}  // namespace

std::optional<std::uint64_t> rangeStart(std::string_view range) {
  constexpr std::string_view unit = "bytes=";
  if (range.size() <= unit.size() + 1 || lowerASCII(range.substr(0, unit.size())) != unit ||
      range.back() != '-') {
    return std::nullopt;
  }
  return text::parseDecimal(range.substr(unit.size(), range.size() - unit.size() - 1));
}

std::string entityTag(std::string_view sha) {
  return "\"" + std::string(sha) + "\"";
}

bool ifRangeMatches(const std::optional<std::string>& ifRange, std::string_view sha) noexcept {
  if (!ifRange) return true;
  std::string_view tag = *ifRange;
  if (tag.size() == sha.size() + 2 && tag.front() == '"' && tag.back() == '"') {
    tag = tag.substr(1, sha.size());
  }
  return !sha.empty() && tag == sha;
}

void requireTusVersion(const std::optional<std::string>& tusResumable) {
  if (tusResumable && *tusResumable == kTusVersion) return;
  throw HttpError(412, "Resumable uploads on this relay speak tus " + std::string(kTusVersion) +
                           "; send the header Tus-Resumable: " + std::string(kTusVersion) + ".")
      .withHeader("Tus-Version", std::string(kTusVersion));
}

PatchPlan planPatch(const std::optional<HeldBuild>& held, const PatchHeaders& request,
                    std::uint64_t maxBytes) {
  if (!request.contentType || lowerASCII(*request.contentType) != kOffsetStreamType) {
    throw HttpError(415, "A resumable upload's PATCH carries its bytes as Content-Type: " +
                             std::string(kOffsetStreamType) + ".");
  }
  std::uint64_t offset =
      requireNumber(request.uploadOffset, "Upload-Offset", "the offset its bytes start at");
  std::optional<std::uint64_t> length;
  if (request.uploadLength) {
    length = requireNumber(request.uploadLength, "Upload-Length", "the size of the whole build");
  }
  if (request.sha && !isLowerHexDigest(*request.sha)) {
    throw HttpError(400,
                    "The header X-VEK-SHA256 must carry the SHA-256 digest of the build as 64 "
                    "lower-case hexadecimal digits.");
  }

  bool another =
      held && ((length && *length != held->length) || (request.sha && *request.sha != held->sha));
  if (!held || another) {
    if (!length || !request.sha) {
      throw HttpError(400,
                      "The first PATCH of a build declares it: Upload-Length with its size and "
                      "X-VEK-SHA256 with its SHA-256 digest.");
    }
    if (*length > maxBytes) {
      throw HttpError(413, "The build is " + bytesText(*length) + ", more than the " +
                               bytesText(maxBytes) + " this relay accepts.");
    }
    if (offset != 0) {
      throw conflict("The relay holds none of this build yet; send it from Upload-Offset 0.", 0);
    }
    if (request.bytes > *length) {
      throw HttpError(400, "The PATCH carries " + bytesText(request.bytes) +
                               ", more than the declared size of the build (" + bytesText(*length) +
                               ").");
    }
    return {PatchPlan::Action::restart, 0, *length, *request.sha};
  }

  if (offset != held->offset) {
    throw conflict("The relay holds " + bytesText(held->offset) +
                       " of this build; the PATCH must continue at Upload-Offset " +
                       std::to_string(held->offset) + ", not " + std::to_string(offset) + ".",
                   held->offset);
  }
  if (request.bytes > held->length - held->offset) {
    if (held->published) {
      throw HttpError(400, "The relay already holds this whole build; it takes no more bytes.");
    }
    throw DiscardingRefusal(
        400, "The PATCH runs " + bytesText(held->offset + request.bytes - held->length) +
                 " past the declared size of the build (" + bytesText(held->length) +
                 "); the relay discarded the partial upload. Send the build "
                 "again from the start.");
  }
  auto action = held->published ? PatchPlan::Action::nothing : PatchPlan::Action::append;
  return {action, offset, held->length, held->sha};
}

}  // namespace vek::relay_server
