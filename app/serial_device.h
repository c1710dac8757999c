//
// The "serial:" device scheme of the printer application: the printer on a serial port, with
// the device URI of CUPS's serial backend, "serial:/dev/ttyS0?baud=9600+bits=8+parity=none",
// so that a queue's URI can be copied as it is.
//

#ifndef QUILLMARSH_APP_SERIAL_DEVICE_H
#define QUILLMARSH_APP_SERIAL_DEVICE_H

#include <cstddef>
#include <string>
#include <vector>

struct termios;
typedef struct _pappl_device_s pappl_device_t;

// Flow control on the line: none, XON/XOFF ("soft"), RTS/CTS ("hard" or "rtscts"), or the
// printer's DTR wired to our DSR ("dtrdsr").
enum class SerialFlow { kNone, kSoft, kHard, kDtrDsr };

// The port and line settings a serial: URI names. Options are separated by '+' or '&', names
// and values in any case: baud (a standard speed, default 9600), bits (7 or 8, default 8),
// parity (none, even or odd; none by default, but even with bits=7 when no parity is given, as
// in CUPS), stop (1 or 2, default 1), flow (none, soft, hard, rtscts, dtrdsr; default none).
struct SerialLine {
  char path[1024];  // the port, as "/dev/ttyUSB0"
  int baud;
  int bits;
  char parity;  // 'N', 'E' or 'O'
  int stop_bits;
  SerialFlow flow;
};

// 'ParseSerialUri()' - Read a serial: device URI into line. Returns false, with the reason in
// message (one sentence without the URI), for anything that is not a URI of this form, an
// unknown option or a value the port cannot be set to.
bool ParseSerialUri(const char *uri, SerialLine *line, char *message, size_t message_size);

// 'SerialUriOf()' - The serial: URI of line, every option named ("serial:/dev/ttyS0?baud=9600+
// bits=8+parity=none+stop=1+flow=none"); ParseSerialUri reads it back to the same line.
std::string SerialUriOf(const SerialLine &line);

// 'CheckSerialDeviceUri()' - Whether a printer can be set up on the serial: URI: the parser
// accepts it, and its port is a serial port (a terminal) that the server can open. The port is
// opened and closed again; nothing is set on it or written. Returns false with the reason in
// message (one sentence without the URI).
bool CheckSerialDeviceUri(const char *uri, char *message, size_t message_size);

// 'SerialSpeeds()' - The speeds a serial: URI may name (baud), slowest first.
std::vector<int> SerialSpeeds();

// One serial port of the machine: its path ("/dev/ttyUSB0") and how the list names it
// ("USB Serial Port ttyUSB0").
struct SerialPortName {
  std::string path;
  std::string info;
};

// 'ListSerialPorts()' - The machine's serial ports as the device list offers them: real ttyS
// UARTs, then USB adapters (ttyUSB, ttyACM), each family in number order.
std::vector<SerialPortName> ListSerialPorts();

// 'SetSerialTermios()' - Turn tio into a raw 8-bit-clean line with line's speed, data bits,
// parity, stop bits and flow control. Returns false when the speed cannot be set.
bool SetSerialTermios(const SerialLine &line, struct termios *tio);

// 'AddSerialScheme()' - Register the "serial" scheme with PAPPL: opening, writing, reading and
// status of a port, and the list of the machine's serial ports. Call it before any device is
// listed or opened (the system callback, and main before papplMainloop: PAPPL 1.3.1 lists
// devices for the "devices" sub-command without calling the system callback). PAPPL's own
// schemes (file, socket, usb, dnssd, snmp) stay available. Calling it again changes nothing.
void AddSerialScheme();

// 'SerialPortThere()' - Whether the port of a serial: URI is there, from the file system alone:
// the port is not opened, so nothing on the line changes (no byte, no modem line). False, with
// the printer's state message in message, when its path names nothing (an adapter unplugged,
// a pseudo-terminal closed); true for a port that is there and for anything an open would
// refuse for another reason (a bad URI, a file that is not a port: the job says why).
bool SerialPortThere(const char *uri, char *message, size_t message_size);

// Asked while a write to a serial port waits for the printer: about every kSerialWatchStepMs
// with how long the port has taken no byte (milliseconds), and once with 0 when bytes go out
// again after such a wait. Returning true gives the write up: it fails, what the kernel still
// holds for the port is dropped, and the port's later writes fail at once until a watch is
// set again (ending the watch does not end that); a close then does not wait for the line to
// drain.
using SerialWriteWatch = bool (*)(void *context, long stalled_ms);
constexpr int kSerialWatchStepMs = 250;

// 'SetSerialWriteWatch()' - Set (or with a null watch, end) the watch of an open serial:
// device's writes. The device must have been opened with the serial scheme.
void SetSerialWriteWatch(pappl_device_t *device, SerialWriteWatch watch, void *context);

#endif  // QUILLMARSH_APP_SERIAL_DEVICE_H
