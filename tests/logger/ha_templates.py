#!/usr/bin/env python3
"""Renders Home Assistant's MQTT sensor templates over a run's readings, as Home Assistant does.

Usage: ha_templates.py CONFIGS READINGS

CONFIGS is a JSON object: discovery config topic -> the config (an object). READINGS holds the
payloads of the reading topic, one per line, in the order they came.

For each payload and each sensor, the sensor's value_template is rendered with `value` (the
payload as text), `value_json` (the payload parsed) and `this` (the entity, whose state is the
sensor's state so far, "unknown" at first); the result is stripped. An empty result leaves the
state as it is. A sensor with a unit of measurement, a state class or a device class takes only
numbers: anything else is a state Home Assistant refuses. Undefined variables are errors here
(Home Assistant logs a warning for each use), so a template that leans on a missing key fails.

Prints one JSON object: {"sensors": [...], "readings": n, "numeric_readings": n,
"overloads": n}, each sensor with its counts:
  numeric       renderings that gave the sensor a number
  non_numeric   renderings a numeric sensor would refuse (anything but '' or a number)
  kept          renderings that left the state as it was ('')
  errors        renderings that failed
  wrong_unit    numbers taken from a reading of another base unit
  overload      states taken from an overload
  acdc          how many of its states came from a DC, AC or unmarked reading
  ol            (display only) states that say OL
"""

import json
import sys

from jinja2 import StrictUndefined
from jinja2.sandbox import ImmutableSandboxedEnvironment


class Entity:
    def __init__(self):
        self.state = "unknown"


def is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return text.lower() not in ("nan", "inf", "-inf", "infinity", "-infinity")


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        configs = json.load(f)
    with open(sys.argv[2], encoding="utf-8") as f:
        payloads = [line.rstrip("\n") for line in f if line.strip()]

    env = ImmutableSandboxedEnvironment(undefined=StrictUndefined)
    sensors = []
    for topic in sorted(configs):
        config = configs[topic]
        sensors.append({
            "topic": topic,
            "config": config,
            "template": env.from_string(config["value_template"]),
            "entity": Entity(),
            "numeric_sensor": any(k in config for k in
                                  ("unit_of_measurement", "state_class", "device_class")),
            "counts": {"numeric": 0, "non_numeric": 0, "kept": 0, "errors": 0,
                       "wrong_unit": 0, "overload": 0, "ol": 0,
                       "acdc": {"DC": 0, "AC": 0, "": 0}},
        })

    numeric_readings = 0
    overloads = 0
    for payload in payloads:
        reading = json.loads(payload)
        numeric_readings += "base_value" in reading and reading["base_unit"] != ""
        overloads += "overload" in reading
        for sensor in sensors:
            counts = sensor["counts"]
            try:
                result = sensor["template"].render(value=payload, value_json=reading,
                                                   this=sensor["entity"]).strip()
            except Exception as e:  # every failure is counted
                counts["errors"] += 1
                counts.setdefault("first_error", str(e))
                continue
            if result == "":
                counts["kept"] += 1
                continue
            if sensor["numeric_sensor"]:
                if not is_number(result):
                    counts["non_numeric"] += 1
                    counts.setdefault("first_non_numeric", result)
                    continue
                counts["numeric"] += 1
                if reading["base_unit"] != sensor["config"]["unit_of_measurement"]:
                    counts["wrong_unit"] += 1
            elif "OL" in result.split():
                counts["ol"] += 1
            counts["overload"] += "overload" in reading
            counts["acdc"][reading["acdc"]] += 1
            sensor["entity"].state = result

    out = {"readings": len(payloads), "numeric_readings": numeric_readings,
           "overloads": overloads, "sensors": []}
    for sensor in sensors:
        config = sensor["config"]
        entry = {"topic": sensor["topic"], "name": config.get("name", ""),
                 "unique_id": config.get("unique_id", ""),
                 "unit": config.get("unit_of_measurement", ""),
                 "device_class": config.get("device_class", ""),
                 "last_state": sensor["entity"].state}
        entry.update(sensor["counts"])
        out["sensors"].append(entry)
    print(json.dumps(out, ensure_ascii=False))


if __name__ == "__main__":
    main()
