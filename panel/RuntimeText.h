// One way to call the runtime's text getters: the caller names the getter and its
// arguments, with kTextOut where the getter takes its output text; the helper supplies
// a buffer of the runtime's text size and widens what the getter wrote.
//
//   std::wstring name;
//   bool ok = ReadRuntimeText(runtime, &NRK_Server::GetGroupName, name, group, kTextOut);
#pragma once

#include "nrk/NRK_Server.h"
#include "runtime/TextConversion.h"

#include <string>
#include <tuple>

namespace panel {

struct TextOut {};
inline constexpr TextOut kTextOut{};

namespace detail {
template <class T>
std::tuple<T> GetterArgument(T value, char*) { return std::tuple<T>(value); }
// The output text as the getters take it: a buffer of NRK_TEXT_SIZE bytes.
inline std::tuple<char*> GetterArgument(TextOut, char* buffer) { return std::tuple<char*>(buffer); }
} // namespace detail

// Calls getter; on success text is the widened result, on failure it is empty.
template <class... Params, class... Args>
bool ReadRuntimeText(NRK_Server& runtime, bool (NRK_Server::*getter)(Params...), std::wstring& text,
                     Args... args) {
    char buffer[NRK_TEXT_SIZE] = {};
    const bool ok = std::apply(getter, std::tuple_cat(std::tuple<NRK_Server*>(&runtime),
                                                      detail::GetterArgument(args, buffer)...));
    buffer[NRK_TEXT_SIZE - 1] = '\0';
    text = ok ? NarrowToWide(buffer) : std::wstring();
    return ok;
}

} // namespace panel
