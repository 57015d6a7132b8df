'''What norvel-read prints for a sensor: its identifier and the exact JSON document.'''

import json

KEY_ORDER = ('address', 'name', 'co2', 'temperature', 'humidity', 'pressure',
             'battery', 'status', 'interval', 'age')


def identifier(address):
    '''The tool's identifier for a Bluetooth address: version-8 UUID, address last.'''
    return '00000000-0000-8000-8000-' + address.replace(':', '').upper()


def json_string(text):
    return json.dumps(text, ensure_ascii=False).replace('/', '\\/')


def json_document(record):
    '''The exact text expected on stdout: members in the tool's order, "/" escaped.'''
    members = []
    for key in KEY_ORDER:
        value = record[key]
        text = str(value) if isinstance(value, int) else json_string(value)
        members.append(f'  {json_string(key)} : {text}')
    return '{\n' + ',\n'.join(members) + '\n}\n'
