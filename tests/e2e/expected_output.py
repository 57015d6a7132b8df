'''What norvel-read prints for a sensor: its identifier and the exact JSON document.'''

import json

KEY_ORDER = ('address', 'name', 'co2', 'temperature', 'humidity', 'pressure', 'battery', 'status', 'interval', 'age')


def identifier(address):
    '''The tool's identifier for a Bluetooth address: version-8 UUID, address last.'''
    return '00000000-0000-8000-8000-' + address.replace(':', '').upper()


def json_document(record):
    '''The exact text expected on stdout: members in the tool's order, "/" escaped.'''
    def text(value):
        return str(value) if isinstance(value, int) else json.dumps(value, ensure_ascii=False).replace('/', '\\/')
    return '{\n' + ',\n'.join(f'  "{key}" : {text(record[key])}' for key in KEY_ORDER) + '\n}\n'
