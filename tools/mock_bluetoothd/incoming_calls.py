'''Records every method call the mock receives, and answers the scripted refusals.

Each call becomes one JSON line: time, sender, serial, path, interface, member
and arguments. The record is written before the call is dispatched, so a call whose
sender has already gone (a Disconnect flushed just before exit) is still there.
'''

import json
import time

import dbus
import dbus.lowlevel


def plain(value):
    '''D-Bus values as JSON values: byte arrays as lists of ints, dicts keyed by text.'''
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (int, float, str)):
        return value
    if isinstance(value, dict):
        return {str(key): plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    return repr(value)


class IncomingCalls:
    '''A message filter on the mock's bus connection.

    refusals: member name -> [error name, error message], answered instead of the method.
    unanswered: member names that get no reply at all.
    '''

    def __init__(self, log_path, refusals, unanswered):
        self.log = open(log_path, 'a', encoding='utf-8', buffering=1)  # pylint: disable=consider-using-with
        self.refusals = refusals
        self.unanswered = set(unanswered)
        self.watchers = []
        self.client = None

    def when(self, what, action):
        '''Runs action(entry) at the first call or event named what.'''
        self.watchers.append((what, action))

    def write(self, entry):
        self.log.write(json.dumps(entry) + '\n')
        what = entry.get('member') or entry.get('event')
        due = [watcher for watcher in self.watchers if watcher[0] == what]
        self.watchers = [watcher for watcher in self.watchers if watcher[0] != what]
        for _, action in due:
            action(entry)

    def attach(self, connection):
        connection.add_message_filter(self.on_message)

    def on_message(self, connection, message):
        if message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        self.record(message)
        member = message.get_member()
        if member in self.unanswered:
            return dbus.lowlevel.HANDLER_RESULT_HANDLED
        if member in self.refusals:
            name, text = self.refusals[member]
            connection.send_message(dbus.lowlevel.ErrorMessage(message, name, text))
            return dbus.lowlevel.HANDLER_RESULT_HANDLED
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED

    def record(self, message):
        entry = {
            't': round(time.time(), 3),
            'sender': message.get_sender(),
            'serial': message.get_serial(),
            'path': message.get_path(),
            'interface': message.get_interface(),
            'member': message.get_member(),
            'args': plain(message.get_args_list()),
        }
        self.client = entry['sender']
        self.write(entry)

    def note(self, event, **details):
        '''Things the mock did on its own (power on, a device sighted), for ordering checks.'''
        entry = {'t': round(time.time(), 3), 'event': event}
        entry.update(details)
        self.write(entry)
