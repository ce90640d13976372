# -*- coding: utf-8 -*-
"""Redfish log entries as the dictionaries the service reads, and Redfish
time texts as its UTC texts: pure functions, no I/O (Python 2.7 and 3)."""
import datetime
import re
import zlib

from zavcommon import native, placed, text_type, time_text


# IPMI sensor type numbers of the Redfish SensorType names: the class of a SEL entry.
SENSOR_TYPES = {
    'Temperature': 0x01, 'Voltage': 0x02, 'Current': 0x03, 'Fan': 0x04,
    'Physical Chassis Security': 0x05, 'Platform Security Violation Attempt': 0x06,
    'Processor': 0x07, 'Power Supply / Converter': 0x08, 'PowerUnit': 0x09,
    'CoolingDevice': 0x0A, 'Other Units-based Sensor': 0x0B, 'Memory': 0x0C,
    'Drive Slot/Bay': 0x0D, 'POST Memory Resize': 0x0E, 'System Firmware Progress': 0x0F,
    'Event Logging Disabled': 0x10, 'System Event': 0x12, 'Critical Interrupt': 0x13,
    'Button/Switch': 0x14, 'Module/Board': 0x15, 'Microcontroller/Coprocessor': 0x16,
    'Add-in Card': 0x17, 'Chassis': 0x18, 'ChipSet': 0x19, 'Other FRU': 0x1A,
    'Cable/Interconnect': 0x1B, 'Terminator': 0x1C, 'SystemBoot/Restart': 0x1D,
    'Boot Error': 0x1E, 'BaseOSBoot/InstallationStatus': 0x1F, 'OS Stop/Shutdown': 0x20,
    'Slot/Connector': 0x21, 'System ACPI PowerState': 0x22, 'Watchdog': 0x23,
    'Platform Alert': 0x24, 'Entity Presence': 0x25, 'Monitor ASIC/IC': 0x26, 'LAN': 0x27,
    'Management Subsystem Health': 0x28, 'Battery': 0x29, 'Session Audit': 0x2A,
    'Version Change': 0x2B, 'FRUState': 0x2C,
}
# Redfish EntryCode names by IPMI event/reading type, in event offset order:
# the code of a SEL entry is reading type << 8 | offset.
_ENTRY_CODE_GROUPS = (
    (0x01, ['Lower Non-critical - going low', 'Lower Non-critical - going high',
            'Lower Critical - going low', 'Lower Critical - going high',
            'Lower Non-recoverable - going low', 'Lower Non-recoverable - going high',
            'Upper Non-critical - going low', 'Upper Non-critical - going high',
            'Upper Critical - going low', 'Upper Critical - going high',
            'Upper Non-recoverable - going low', 'Upper Non-recoverable - going high']),
    (0x02, ['Transition to Idle', 'Transition to Active', 'Transition to Busy']),
    (0x03, ['State Deasserted', 'State Asserted']),
    (0x04, ['Predictive Failure deasserted', 'Predictive Failure asserted']),
    (0x05, ['Limit Not Exceeded', 'Limit Exceeded']),
    (0x06, ['Performance Met', 'Performance Lags']),
    (0x07, ['Transition to OK', 'Transition to Non-Critical from OK',
            'Transition to Critical from less severe', 'Transition to Non-recoverable from less severe',
            'Transition to Non-Critical from more severe', 'Transition to Critical from Non-recoverable',
            'Transition to Non-recoverable', 'Monitor', 'Informational']),
    (0x08, ['Device Removed / Device Absent', 'Device Inserted / Device Present']),
    (0x09, ['Device Disabled', 'Device Enabled']),
    (0x0A, ['Transition to Running', 'Transition to In Test', 'Transition to Power Off',
            'Transition to On Line', 'Transition to Off Line', 'Transition to Off Duty',
            'Transition to Degraded', 'Transition to Power Save', 'Install Error']),
    (0x0B, ['Fully Redundant', 'Redundancy Lost', 'Redundancy Degraded',
            'Non-redundant:Sufficient Resources from Redundant',
            'Non-redundant:Sufficient Resources from Insufficient Resources',
            'Non-redundant:Insufficient Resources', 'Redundancy Degraded from Fully Redundant',
            'Redundancy Degraded from Non-redundant']),
    (0x0C, ['D0 Power State', 'D1 Power State', 'D2 Power State', 'D3 Power State']),
)
ENTRY_CODES = dict((name, group << 8 | offset)
                   for group, names in _ENTRY_CODE_GROUPS for offset, name in enumerate(names))
# Sensor-specific events whose offset the entry does not carry (direction bit 0x80).
ENTRY_CODES.update({'Assert': 0x6F00, 'Deassert': 0x6F80})

_TIME = re.compile(r'^\s*(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:[.,]\d*)?)?'
                   r'\s*(?:([Zz])|([+-])(\d\d):?(\d\d)?)?\s*$')


def utc_text(value):
    """A Redfish time in any offset as UTC 'YYYY-MM-DDThh:mm:ss'; a time
    without an offset is taken as UTC. None when it is not a time."""
    if not isinstance(value, (str, text_type)):
        return None
    m = _TIME.match(value)
    if not m:
        return None
    y, mo, d, h, mi = [int(x) for x in m.group(1, 2, 3, 4, 5)]
    s = min(int(m.group(6) or 0), 59)                   # a leap second stays in its minute
    try:
        t = datetime.datetime(y, mo, d, h, mi, s)
        if m.group(8):
            minutes = int(m.group(9)) * 60 + int(m.group(10) or 0)
            t -= datetime.timedelta(minutes=minutes if m.group(8) == '+' else -minutes)
    except (ValueError, OverflowError):
        return None
    return time_text(t)


def crc31(text):
    """A stable 31-bit number for a text (never hash(): it changes per process)."""
    if isinstance(text, text_type):
        text = text.encode('utf-8')
    return zlib.crc32(text) & 0x7FFFFFFF


def event_number(raw):
    ident = raw.get('Id')
    if isinstance(ident, int) and not isinstance(ident, bool) and 0 <= ident <= 0x7FFFFFFF:
        return ident
    if not isinstance(ident, (str, text_type)) or not ident:
        ident = raw.get('@odata.id')
        if not isinstance(ident, (str, text_type)) or not ident:
            return 0
    if ident.isdigit() and len(ident) <= 10 and int(ident) <= 0x7FFFFFFF:
        return int(ident)
    return crc31(ident)


def default_class_code(raw):
    """SEL entries: class from SensorType, code from EntryCode. Event-registry
    entries: 'Registry.Version.Key' gives class 0x40 + crc(Registry) % 64 and
    code 1 + crc(Key) % 65535. Anything else: 0, 0 (unplaced)."""
    sensor = raw.get('SensorType')
    if raw.get('EntryType') == 'SEL' or sensor is not None:
        return SENSOR_TYPES.get(sensor, 0), ENTRY_CODES.get(raw.get('EntryCode'), 0)
    message_id = raw.get('MessageId')
    if isinstance(message_id, (str, text_type)):
        parts = message_id.split('.')
        if len(parts) >= 2 and parts[0] and parts[-1]:
            return 0x40 + crc31(parts[0]) % 64, 1 + crc31(parts[-1]) % 65535
    return 0, 0


def parse_rule(text):
    """A class or code setting: an int, a dotted property path, or None."""
    text = (text or '').strip()
    if not text:
        return None
    try:
        return int(text, 0)
    except ValueError:
        return text.split('.')


def _apply_rule(rule, raw):
    if isinstance(rule, int):
        return rule
    value = raw
    for part in rule:
        value = value.get(part) if isinstance(value, dict) else None
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, (str, text_type)):
        try:
            return int(value.strip(), 0)
        except ValueError:
            pass
    return None                                          # absent here: the default applies


def _text(value):
    if isinstance(value, bytes) and not isinstance(value, text_type):
        return value.decode('utf-8', 'replace')
    return value if isinstance(value, text_type) else None


def map_entry(raw, class_rule=None, code_rule=None):
    """One Redfish LogEntry as the dictionary the service reads."""
    out = {'EventNumber': event_number(raw),
           'Repaired': 1 if raw.get('Resolved') is True else 0}
    created = utc_text(raw.get('Created'))
    updated = utc_text(raw.get('Modified')) or created
    if created:
        out['Created'] = created
    if updated:
        out['Updated'] = updated
    severity = raw.get('Severity', raw.get('MessageSeverity'))
    if isinstance(severity, (str, text_type)):
        out['Severity'] = native(severity)
    message = _text(raw.get('Message'))
    if message is not None:
        out['Message'] = message
    action = _text(raw.get('Resolution'))
    steps = raw.get('ResolutionSteps')
    if action is None and isinstance(steps, list):
        action = u'; '.join(_text(s.get('ResolutionType')) for s in steps
                            if isinstance(s, dict) and _text(s.get('ResolutionType')))
    if action is not None:
        out['RecommendedAction'] = action
    klass, code = default_class_code(raw)
    for rule, index in ((class_rule, 0), (code_rule, 1)):
        value = _apply_rule(rule, raw) if rule is not None else None
        if value is not None:
            klass, code = (value, code) if index == 0 else (klass, value)
    out['Class'], out['Code'] = placed(klass, code)
    return out

