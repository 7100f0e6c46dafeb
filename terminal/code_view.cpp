#include "terminal/code_view.h"

#include "app/settings.h"
#include "config/messages.h"
#include "console/console.h"
#include "terminal/macro_player.h"
#include "terminal/uart_screen.h"
#include "uart/uart.h"
#include "uart/uart_session.h"

namespace {

constexpr std::string_view kTitle = "Serial Term ASCII Code";
constexpr std::size_t kTitleWidth = 57;

void ShowCodes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 4);
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    text += '<';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
    text += '>';
  }
  PrintText(text);
}

}  // namespace

void RunCodeViewUntil(std::int32_t baudRate, const std::string& leaveKey,
                      std::string_view leaveName, TaskHost& tasks) {
  std::string title(kTitle);
  if (!leaveKey.empty()) title += "     <" + std::string(leaveName) + ">Exit";
  if (title.size() < kTitleWidth) title.resize(kTitleWidth, ' ');
  PrintLine(title);
  PrintLine("-----------------------");
  PrintLine("");
  PrintLine("");
  UartInit(UartClockHz, baudRate, UartPort, UartRegBase, ReportUartMessage);

  UartSession session(ScreenSessionOptions(baudRate), tasks);
  UartScreen line(session, ShowCodes, false);
  for (;;) {
    const std::string key = NextKey();
    if (!leaveKey.empty() && key == leaveKey) break;
    SendKeys(line, key);
  }
  line.WaitSent();
}

void RunCodeView(std::int32_t baudRate, TaskHost& tasks) {
  RunCodeViewUntil(baudRate, {}, {}, tasks);
}
