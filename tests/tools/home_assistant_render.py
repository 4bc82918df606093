#!/usr/bin/env python3
"""Renders an MQTT entity as Home Assistant does from its discovery config:
availability (every entry must say so with availability_mode "all") and the
state through value_template, both with Jinja2 and the broker's latest
payloads. Reads {"config": {...}, "payloads": {topic: payload}} from the
file named by the one argument; prints {"available": bool, "state": text}."""
import json
import sys

import jinja2

env = jinja2.Environment()


def render(template, payload):
    try:
        value_json = json.loads(payload)
    except ValueError:
        value_json = {}
    return env.from_string(template).render(value=payload, value_json=value_json).strip()


def main():
    with open(sys.argv[1]) as f:
        given = json.load(f)
    config, payloads = given["config"], given["payloads"]
    states = []
    for entry in config.get("availability", []):
        payload = payloads.get(entry["topic"])
        if payload is None:
            states.append(False)
            continue
        said = render(entry["value_template"], payload) if "value_template" in entry else payload
        states.append(said == entry.get("payload_available", "online"))
    mode = config.get("availability_mode", "latest")
    available = all(states) if mode == "all" else any(states) if mode == "any" else (states[-1] if states else True)
    state = None
    if available and "state_topic" in config and config["state_topic"] in payloads:
        state = render(config.get("value_template", "{{ value }}"), payloads[config["state_topic"]])
    print(json.dumps({"available": available, "state": state}))


if __name__ == "__main__":
    main()
