"""An object made by cls.__new__(cls), whose __init__ never ran, raises TypeError from every
method and property, and as an argument of any call, instead of handing C++ raw memory."""

import numpy as np
import pytest

import camera_parameters as cp

LENS = (640, 480, np.diag([500.0, 500.0, 1.0]), np.zeros(8))
# Every method and property of every class's objects (a static method and a nested
# enumeration are called on the class, with no object).
MEMBERS = [(cls, name) for cls in vars(cp).values() if isinstance(cls, type) for name, member in vars(cls).items()
           if name != "__init__" and (isinstance(member, property)
                                      or callable(member) and not isinstance(member, (type, staticmethod)))]


@pytest.mark.parametrize("cls, name", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n in MEMBERS])
def test_a_member_of_an_object_never_initialized_raises_type_error(cls, name):
    blank, member = cls.__new__(cls), vars(cls)[name]
    if isinstance(member, property):
        calls = [lambda: getattr(blank, name)] + [lambda: setattr(blank, name, None)] * (member.fset is not None)
    else:
        # The object is read before any argument: the call of the method's own arity refuses it,
        # whatever the arguments; the other arities are refused by their number.
        calls = [lambda count=count: getattr(blank, name)(*[None] * count) for count in range(5)]
    reasons = []
    for call in calls:
        with pytest.raises(TypeError) as raised:
            call()
        reasons.append("never initialized" in str(raised.value))
    assert any(reasons) if len(calls) == 5 else all(reasons)


@pytest.mark.parametrize(
    "call",
    [lambda: cp.CameraParametersSet().adjust_using_base_calibration(cp.BaseCalibrationData.__new__(cp.BaseCalibrationData)),
     lambda: cp.PTZCameraModelConfiguration(cp.PTZCameraModel.__new__(cp.PTZCameraModel), 0, 0, 0),
     lambda: cp.choose_pinhole_view(cp.Lens.__new__(cp.Lens), 0.0, 640, 480),
     lambda: cp.undistortion_map(cp.Lens(*LENS), cp.PinholeView.__new__(cp.PinholeView)),
     lambda: cp.projection_uncertainty(cp.CameraCalibration.__new__(cp.CameraCalibration), 8)],
    ids=["base calibration", "PTZ model", "lens", "view", "calibration"],
)
def test_an_object_never_initialized_is_refused_as_an_argument(call):
    with pytest.raises(TypeError, match="never initialized"):
        call()
