'''A client of the system bus that does not own org.bluez and sends forged messages.

Reads one JSON message a line on stdin (see forgeries.py) and sends it to its destination
from its own connection to the bus in DBUS_SYSTEM_BUS_ADDRESS; says "ready" once connected.
Built with Gio, whose messages can carry any reply serial.
'''

import json
import os
import sys

from gi.repository import Gio, GLib


def value(item):
    '''JSON to what GLib.Variant takes: {"$v": [signature, value]} is a variant.'''
    if isinstance(item, dict) and '$v' in item:
        signature, inner = item['$v']
        return GLib.Variant(signature, value(inner))
    if isinstance(item, dict):
        return {key: value(inner) for key, inner in item.items()}
    if isinstance(item, list):
        return [value(inner) for inner in item]
    return item


def build(forged):
    if forged['kind'] == 'signal':
        message = Gio.DBusMessage.new_signal(forged['path'], forged['interface'], forged['member'])
    else:
        message = Gio.DBusMessage.new()
        if forged['kind'] == 'error':
            message.set_message_type(Gio.DBusMessageType.ERROR)
            message.set_error_name(forged['error_name'])
        else:
            message.set_message_type(Gio.DBusMessageType.METHOD_RETURN)
        message.set_reply_serial(forged['reply_serial'])
    message.set_destination(forged['destination'])
    message.set_body(GLib.Variant(forged['signature'], tuple(value(forged['args']))))
    return message


def main():
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    connection = Gio.DBusConnection.new_for_address_sync(os.environ['DBUS_SYSTEM_BUS_ADDRESS'], flags, None, None)
    print('ready', flush=True)
    for line in sys.stdin:
        connection.send_message(build(json.loads(line)), Gio.DBusSendMessageFlags.NONE)
        connection.flush_sync(None)


if __name__ == '__main__':
    main()
