#!/usr/bin/python
"""kestra.ini.ini_file: the module that Ansible runs on the managed host."""
from __future__ import annotations

DOCUMENTATION = r"""
module: ini_file
short_description: Set, change or remove one setting of an INI file, touching only its lines
description:
  - Takes the parameters of community.general.ini_file and answers with the same result keys and messages.
  - The file is read and edited by the kestra-ini package's document model. Only the lines of the setting
    change; comments, line ends and multi-line values are kept; every edit is read back before it is written;
    the write is locked, verified and durable.
  - A file that cannot be edited as asked is a failure, and the file stays as it was.
  - The differences from community.general.ini_file are listed in the kestra-ini documentation (docs/ansible.md).
requirements:
  - The kestra-ini Python package on the managed host, installed for the Python that runs the module there
    (CPython 3.9 or later), for example C(python3 -m pip install --no-index --find-links DIR kestra-ini) with
    DIR holding its wheels; no compiler is needed.
options:
  path:
    description: Path to the INI-style file; it is created if required.
    type: path
    required: true
    aliases: [dest]
  section:
    description:
      - Section name in the INI file. It is added when O(state=present) and it is missing.
      - If omitted, the option is placed before the first section.
    type: str
  section_has_values:
    description:
      - Among several sections of the same name, select the first one that holds these options and values.
      - With O(state=present), if none does, a new section is added holding them and the option.
      - With O(state=absent), at most one section is removed.
    type: list
    elements: dict
    suboptions:
      option:
        description: The matching section must hold this option.
        type: str
        required: true
      value:
        description: The value the option must have. Mutually exclusive with O(section_has_values[].values).
        type: str
      values:
        description: Values the option must have.
        type: list
        elements: str
  option:
    description: The option's name; may be omitted when adding or removing a whole section.
    type: str
  value:
    description: The option's value. Mutually exclusive with O(values); O(value=v) is O(values=[v]).
    type: str
  values:
    description: The option's values, one line each. Mutually exclusive with O(value).
    type: list
    elements: str
  backup:
    description: Make a backup file with a timestamp in its name before changing the file.
    type: bool
    default: false
  state:
    description:
      - V(present) sets the option (or adds the section); V(absent) removes it (or the section).
      - With O(exclusive=true), every matching option line is replaced (present) or removed (absent); with
        O(exclusive=false), only the given values are added or removed.
    type: str
    choices: [absent, present]
    default: present
  exclusive:
    description: Whether the given values replace (or remove) every line of the option, or only their own.
    type: bool
    default: true
  no_extra_spaces:
    description: Write C(option=value) rather than C(option = value).
    type: bool
    default: false
  ignore_spaces:
    description: Do not change a line if that would only add or remove spaces around the C(=).
    type: bool
    default: false
  allow_no_value:
    description: Allow an option without a value and without C(=).
    type: bool
    default: false
  modify_inactive_option:
    description:
      - Replace a commented-out line of the option (C(# option = x)) when the option is not set.
      - Set to V(false) to keep commented examples.
    type: bool
    default: true
  create:
    description: If V(false), fail when the file does not exist.
    type: bool
    default: true
  follow:
    description:
      - Edit the file a symbolic link at O(path) points to, and set O(mode), O(owner) and the other file
        attributes on it.
      - If V(false), a symbolic link at O(path) is replaced by a regular file holding the edited text, as
        community.general.ini_file does; the file it pointed to stays as it was.
    type: bool
    default: false
extends_documentation_fragment:
  - ansible.builtin.files
attributes:
  check_mode:
    description: Reports whether the file would change, writing nothing.
    support: full
  diff_mode:
    description: Returns the file's text before and after.
    support: full
author:
  - kestra-ini developers
"""

EXAMPLES = r"""
- name: Ensure "fav=lemonade" is in section "[drinks]"
  kestra.ini.ini_file:
    path: /etc/conf
    section: drinks
    option: fav
    value: lemonade
    mode: "0600"
    backup: true

- name: Two values of one option
  kestra.ini.ini_file:
    path: /etc/conf
    section: drinks
    option: beverage
    values: [coke, pepsi]

- name: Remove the peer whose AllowedIps is 10.128.0.11/32
  kestra.ini.ini_file:
    path: /etc/wireguard/wg0.conf
    section: Peer
    section_has_values:
      - option: AllowedIps
        value: 10.128.0.11/32
    state: absent
"""

RETURN = r"""
path:
  description: The file's path.
  returned: always
  type: str
msg:
  description: What was done (C(OK), C(option added), C(option changed), C(section and option added),
    C(only section added), C(section removed)) or why it failed.
  returned: always
  type: str
backup_file:
  description: The backup's name; empty when no backup was made.
  returned: when O(backup=true)
  type: str
diff:
  description: The file's text before and after.
  returned: always
  type: dict
"""

import os
import traceback

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from kestra_ini import _ini_file
except ImportError:
    _IMPORT_ERROR: str | None = traceback.format_exc()
else:
    _IMPORT_ERROR = None


def _arguments() -> dict:
    return dict(
        path=dict(type="path", required=True, aliases=["dest"]),
        section=dict(type="str"),
        section_has_values=dict(type="list", elements="dict", options=dict(
            option=dict(type="str", required=True),
            value=dict(type="str"),
            values=dict(type="list", elements="str")),
            mutually_exclusive=[["value", "values"]]),
        option=dict(type="str"),
        value=dict(type="str"),
        values=dict(type="list", elements="str"),
        backup=dict(type="bool", default=False),
        state=dict(type="str", default="present", choices=["absent", "present"]),
        exclusive=dict(type="bool", default=True),
        no_extra_spaces=dict(type="bool", default=False),
        ignore_spaces=dict(type="bool", default=False),
        allow_no_value=dict(type="bool", default=False),
        modify_inactive_option=dict(type="bool", default=True),
        create=dict(type="bool", default=True),
        follow=dict(type="bool", default=False),
    )


def main() -> None:
    module = AnsibleModule(argument_spec=_arguments(), mutually_exclusive=[["value", "values"]],
                           add_file_common_args=True, supports_check_mode=True)
    if _IMPORT_ERROR is not None:
        module.fail_json(msg=missing_required_lib("kestra-ini"), exception=_IMPORT_ERROR)
    params = module.params
    path = params["path"]
    if params["follow"] and os.path.islink(path):
        path = os.path.realpath(path)
    made: list[str] = []

    def backup(target: str) -> None:
        made.append(module.backup_local(target))

    try:
        old, new, msg = _ini_file.update(path, params, check_mode=module.check_mode,
                                         backup=backup if params["backup"] else None)
    except _ini_file.Failure as failure:
        module.fail_json(msg=failure.msg, **failure.extra)
    except OSError as error:
        module.fail_json(msg=f"{error.filename or path}: {error.strerror or error}")
    changed = new != old
    header = f"{path} (content)"
    diff = dict(before=_ini_file.text_of(old), after=_ini_file.text_of(new), before_header=header, after_header=header)
    result = dict(changed=changed, msg=msg, path=path, diff=diff)
    if params["backup"]:
        result["backup_file"] = made[0] if made else ""
    if os.path.exists(path):
        file_args = module.load_file_common_arguments(params, path=path)
        result["changed"] = module.set_fs_attributes_if_different(file_args, changed)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
