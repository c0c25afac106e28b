"""Workflows of the Temporal end-to-end tests. Only temporalio is imported here:
the workflow sandbox imports this module again for every run."""

from datetime import timedelta

from temporalio import workflow
from temporalio.common import RetryPolicy


@workflow.defn
class GuardedCall:
    """Runs one activity by name, with short, even retries for the tests."""

    @workflow.run
    async def run(self, activity_name: str, args: list, options: dict) -> str:
        interval = timedelta(seconds=options.get("retry_seconds", 0.2))
        return await workflow.execute_activity(
            activity_name,
            args=args,
            start_to_close_timeout=timedelta(seconds=options.get("start_to_close_seconds", 60)),
            heartbeat_timeout=timedelta(seconds=options.get("heartbeat_timeout_seconds", 10)),
            retry_policy=RetryPolicy(
                initial_interval=interval,
                backoff_coefficient=1.0,
                maximum_interval=interval,
                maximum_attempts=options.get("maximum_attempts", 100),
            ),
        )
