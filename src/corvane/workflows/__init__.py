"""Workflows over the property modules: the pipeline of one structure
(:mod:`corvane.workflows.pipeline`), and screening many structures on a Dask cluster into an ASE
database (:mod:`corvane.workflows.screening`, which needs ``dask.distributed``)."""

from corvane.workflows.pipeline import (
    HARDNESS_MODELS,
    PipelineSettings,
    Result,
    StepRecord,
    StrengthTest,
    compute_properties,
    structure_digest,
)

__all__ = [
    "HARDNESS_MODELS",
    "PipelineSettings",
    "Result",
    "StepRecord",
    "StrengthTest",
    "compute_properties",
    "structure_digest",
]
