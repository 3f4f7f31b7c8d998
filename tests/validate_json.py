#!/usr/bin/env python3
"""Validates a JSON document against a JSON Schema: validate_json.py SCHEMA DOCUMENT."""
import json
import sys

import jsonschema

with open(sys.argv[1], encoding="utf-8") as f:
    schema = json.load(f)
with open(sys.argv[2], encoding="utf-8") as f:
    document = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
jsonschema.Draft202012Validator(schema).validate(document)
